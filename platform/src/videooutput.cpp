#include "platform/videooutput.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace platform {

namespace {

v4l2_format buildYu12(int width, int height) {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    fmt.fmt.pix.width = static_cast<uint32_t>(width);
    fmt.fmt.pix.height = static_cast<uint32_t>(height);
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUV420;
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    fmt.fmt.pix.bytesperline = static_cast<uint32_t>(width);
    fmt.fmt.pix.sizeimage =
        static_cast<uint32_t>(width) * static_cast<uint32_t>(height) +
        2 * static_cast<uint32_t>(width / 2) * static_cast<uint32_t>(height / 2);
    fmt.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
    return fmt;
}

std::string fourccText(uint32_t f) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((f >> (8 * i)) & 0xff);
    return s;
}

int xioctl(int fd, unsigned long request, void* arg) {
    int rc;
    do {
        rc = ::ioctl(fd, request, arg);
    } while (rc < 0 && errno == EINTR);
    return rc < 0 ? errno : 0;
}

}  // namespace

VideoOutputFormat yu12OutputFormat(int width, int height) {
    const v4l2_format fmt = buildYu12(width, height);
    VideoOutputFormat out;
    out.bufferType = fmt.type == V4L2_BUF_TYPE_VIDEO_OUTPUT ? "video-output" : "other";
    out.fourcc = fourccText(fmt.fmt.pix.pixelformat);
    out.width = static_cast<int>(fmt.fmt.pix.width);
    out.height = static_cast<int>(fmt.fmt.pix.height);
    out.bytesPerLine = fmt.fmt.pix.bytesperline;
    out.sizeImage = fmt.fmt.pix.sizeimage;
    out.progressive = fmt.fmt.pix.field == V4L2_FIELD_NONE;
    out.colorspace = fmt.fmt.pix.colorspace == V4L2_COLORSPACE_SRGB ? "srgb" : "other";
    return out;
}

int probeLoopbackDevice(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return errno;
    v4l2_capability cap{};
    if (xioctl(fd.get(), VIDIOC_QUERYCAP, &cap) != 0) return ENODEV;
    const char* driver = reinterpret_cast<const char*>(cap.driver);
    const uint32_t caps =
        (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    const bool loopback = std::strncmp(driver, "v4l2 loopback", sizeof cap.driver) == 0 &&
                          (caps & V4L2_CAP_VIDEO_OUTPUT);
    return loopback ? 0 : ENODEV;
}

std::string fileGroupName(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::string();
    std::vector<char> buf(16384);
    group grp{};
    group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &grp, buf.data(), buf.size(), &found) != 0 || !found)
        return std::to_string(st.st_gid);
    return found->gr_name;
}

std::string findLoopbackDevice(const std::string& dir, std::string* denied) {
    std::map<long, std::string> candidates;  // by number, so video2 comes before video10
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const char* name = e->d_name;
            if (std::strncmp(name, "video", 5) != 0) continue;
            char* end = nullptr;
            const long n = std::strtol(name + 5, &end, 10);
            if (end == name + 5 || *end != '\0') continue;
            candidates[n] = dir + "/" + name;
        }
        ::closedir(d);
    }
    for (const auto& c : candidates) {
        const int err = probeLoopbackDevice(c.second);
        if (err == 0) return c.second;
        if ((err == EACCES || err == EPERM) && denied && denied->empty()) *denied = c.second;
    }
    return std::string();
}

int VideoOutputDevice::open(const std::string& path) {
    fd_.reset(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd_.valid()) return errno;
    v4l2_capability cap{};
    if (xioctl(fd_.get(), VIDIOC_QUERYCAP, &cap) != 0) {
        fd_.reset();
        return ENODEV;
    }
    return 0;
}

int VideoOutputDevice::setFormat(int width, int height, int* keptWidth, int* keptHeight) {
    v4l2_format fmt = buildYu12(width, height);
    const int err = xioctl(fd_.get(), VIDIOC_S_FMT, &fmt);
    if (err != 0) return err;
    // The driver may adjust; a picture of another size would be cut or padded by it.
    if (fmt.fmt.pix.width != static_cast<uint32_t>(width) ||
        fmt.fmt.pix.height != static_cast<uint32_t>(height) ||
        fmt.fmt.pix.pixelformat != V4L2_PIX_FMT_YUV420) {
        if (keptWidth) *keptWidth = static_cast<int>(fmt.fmt.pix.width);
        if (keptHeight) *keptHeight = static_cast<int>(fmt.fmt.pix.height);
        return EBUSY;
    }
    return 0;
}

int VideoOutputDevice::streamOn() {
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    const int err = xioctl(fd_.get(), VIDIOC_STREAMON, &type);
    return err == EINVAL || err == ENOTTY ? 0 : err;
}

int VideoOutputDevice::write(const uint8_t* data, size_t len) {
    return writeAll(fd_.get(), data, len) ? 0 : errno;
}

}  // namespace platform
