// Test material: I420 pictures, PCM tones, scratch file names and a reader of new log lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivotest {

// A planar I420 picture packed Y, U, V with tight pitches.
struct I420Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> bytes;
    uint32_t pitch[3] = {0, 0, 0};
    uint32_t dlen[3] = {0, 0, 0};
    int size() const { return static_cast<int>(bytes.size()); }
};

// Flat luma with a little noise (seeded), so the encoder has something to spend bits on.
I420Picture makePicture(int width, int height, uint8_t luma, unsigned seed = 0, int noise = 0);

// Interleaved 16-bit stereo: a sine of hz (amplitude 0.5) or silence when hz is 0, continuing
// from sample index first.
std::vector<uint8_t> makeTone(int samples, int rate, double hz, int64_t first = 0);

// A fresh path in this process's scratch folder.
std::string scratchFile(const std::string& name);

// Reads the lines the logger writes after construction; raises the logger to debug level.
class LogWatch {
public:
    LogWatch();
    std::string text() const;
    bool contains(const std::string& needle) const;
    int count(const std::string& needle) const;
    // Polls until needle has appeared at least n times; false after timeout_ms.
    bool waitFor(const std::string& needle, int n = 1, int timeout_ms = 20000) const;

private:
    std::string path_;
    long offset_ = 0;
};

}  // namespace kivotest
