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

// Whether the device's driver reports itself as "v4l2 loopback" and can take output.
bool isLoopbackDevice(const std::string& path);
// The first dir/videoN (lowest N) that is a loopback device; "" when there is none.
std::string findLoopbackDevice(const std::string& dir = "/dev");

class VideoOutputDevice {
public:
    // 0 or the errno value; ENODEV when the path is not a video output device.
    int open(const std::string& path);
    // Sets the YU12 format of width x height on the output. 0 or the errno value.
    int setFormat(int width, int height);
    // Starts streaming; harmless where the driver takes plain writes without it. 0 or errno.
    int streamOn();
    // Writes one whole picture. 0 or the errno value.
    int write(const uint8_t* data, size_t len);
    void close() { fd_.reset(); }

private:
    UniqueFd fd_;
};

}  // namespace platform
