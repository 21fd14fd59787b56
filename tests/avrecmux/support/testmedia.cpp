#include "testmedia.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "kivobridge/bridge.h"
#include "test_env.h"

namespace kivotest {

I420Picture makePicture(int width, int height, uint8_t luma, unsigned seed, int noise) {
    I420Picture p;
    p.width = width;
    p.height = height;
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    p.pitch[0] = width;
    p.pitch[1] = p.pitch[2] = cw;
    p.dlen[0] = width * height;
    p.dlen[1] = p.dlen[2] = cw * ch;
    p.bytes.assign(p.dlen[0] + p.dlen[1] + p.dlen[2], 128);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(-noise, noise);
    for (uint32_t i = 0; i < p.dlen[0]; ++i) {
        int v = luma + (noise ? dist(rng) : 0);
        p.bytes[i] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    return p;
}

std::vector<uint8_t> makeTone(int samples, int rate, double hz, int64_t first) {
    std::vector<uint8_t> out(size_t(samples) * 4);
    auto* s = reinterpret_cast<int16_t*>(out.data());
    for (int i = 0; i < samples; ++i) {
        double t = double(first + i) / rate;
        auto v = static_cast<int16_t>(hz > 0 ? 16384.0 * std::sin(2 * M_PI * hz * t) : 0);
        s[2 * i] = v;
        s[2 * i + 1] = v;
    }
    return out;
}

std::string scratchFile(const std::string& name) {
    static int counter = 0;
    return scratchDir().toStdString() + "/" + std::to_string(++counter) + "_" + name;
}

LogWatch::LogWatch() {
    if (bg::CD) {
        bg::CD->logger()->setLevel(bg::kLogDebug);  // the watched lines include debug ones
        path_ = bg::CD->logger()->filePath();
    }
    std::ifstream f(path_, std::ios::binary | std::ios::ate);
    if (f) offset_ = static_cast<long>(f.tellg());
}

std::string LogWatch::text() const {
    std::ifstream f(path_, std::ios::binary);
    if (!f) return std::string();
    f.seekg(offset_);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool LogWatch::contains(const std::string& needle) const {
    return text().find(needle) != std::string::npos;
}

int LogWatch::count(const std::string& needle) const {
    const std::string all = text();
    int n = 0;
    for (size_t pos = all.find(needle); pos != std::string::npos;
         pos = all.find(needle, pos + needle.size()))
        ++n;
    return n;
}

bool LogWatch::waitFor(const std::string& needle, int n, int timeout_ms) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (count(needle) < n) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace kivotest
