// A V4L2 video output device (v4l2loopback): finding it, setting a YU12 format, writing pictures.
// Thread rules: one thread per VideoOutputDevice; the free functions from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/files.h"

namespace platform {

// The output format setFormat() sends, read back from the kernel structure as plain values.
struct VideoOutputFormat {
    std::string bufferType;  // "video-output"
    std::string fourcc;      // "YU12": planar Y, then U (Cb), then V (Cr), 4:2:0
    int width = 0;
    int height = 0;
    uint32_t bytesPerLine = 0;
    uint32_t sizeImage = 0;
    bool progressive = false;
    std::string colorspace;
};
VideoOutputFormat yu12OutputFormat(int width, int height);

// 0 when the device's driver reports itself as "v4l2 loopback" and can take output; the errno
// value of a failed open (EACCES: this user may not open it); ENODEV for any other device.
int probeLoopbackDevice(const std::string& path);
inline bool isLoopbackDevice(const std::string& path) {
    return probeLoopbackDevice(path) == 0;
}
// The first dir/videoN (lowest N) that is a loopback device; "" when there is none. With denied,
// the first device this user may not open is named there, so a caller can say how to get access.
std::string findLoopbackDevice(const std::string& dir = "/dev", std::string* denied = nullptr);
// Name of the group that owns path ("" when unknown): the group a user joins for access.
std::string fileGroupName(const std::string& path);

class VideoOutputDevice {
public:
    // 0 or the errno value; ENODEV when the path is not a video output device.
    int open(const std::string& path);
    // Sets the YU12 format of width x height on the output. 0 or the errno value; EBUSY when the
    // driver keeps another format (v4l2loopback does while a consumer has the device open), which
    // then goes to *keptWidth x *keptHeight.
    int setFormat(int width, int height, int* keptWidth = nullptr, int* keptHeight = nullptr);
    // Starts streaming; harmless where the driver takes plain writes without it. 0 or errno.
    int streamOn();
    // Writes one whole picture. 0 or the errno value.
    int write(const uint8_t* data, size_t len);
    void close() { fd_.reset(); }

private:
    UniqueFd fd_;
};

}  // namespace platform
