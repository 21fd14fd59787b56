// A recording in a process of its own, for tests that kill it or fill its disk.
// Usage: avrecmux_record_child FILE SECONDS [FILE_SIZE_LIMIT_BYTES]
// Writes 320x240 pictures (25 a second) and sound at twice real time, prints "written USEC" after
// each picture, stops after SECONDS of media or when a write is refused, then prints
// "stop 1" (finalised) or "stop 0" (failed) and exits 0.
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "avrecmux/avmuxercontroller.h"
#include "kivobridge/bridge.h"

namespace {

constexpr int kW = 320;
constexpr int kH = 240;

std::vector<uint8_t> picture(int index) {
    std::vector<uint8_t> p(kW * kH * 3 / 2, 128);
    std::mt19937 rng{static_cast<unsigned>(index)};
    const int luma = 20 + (index * 4) % 200;
    for (int i = 0; i < kW * kH; ++i) p[i] = uint8_t(luma + int(rng() % 32));  // costs bits
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s FILE SECONDS [FILE_SIZE_LIMIT]\n", argv[0]);
        return 2;
    }
    const double seconds = atof(argv[2]);
    bg::InitBridge(argc, argv);
    if (argc > 3) {
        // A full disk: writes past the limit fail with EFBIG instead of killing the process.
        signal(SIGXFSZ, SIG_IGN);
        const rlim_t limit = rlim_t(atoll(argv[3]));
        const rlimit rl{limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
    }

    kivo::muxer::MVSettings s;
    s.input_pixel_format = 0;
    s.width = kW;
    s.height = kH;
    s.file_name = argv[1];
    kivo::muxer::AVMuxerController c;
    if (!c.start(&s, true)) return 3;

    const uint32_t pitch[3] = {kW, kW / 2, kW / 2};
    const uint32_t dlen[3] = {kW * kH, kW * kH / 4, kW * kH / 4};
    std::vector<uint8_t> pcm(1764 * 4, 0);  // 40 ms of stereo 16-bit silence
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < int(seconds * 25); ++i) {
        const int64_t t = int64_t(i) * 40000;
        std::this_thread::sleep_until(begin + std::chrono::microseconds(t / 2));
        const auto p = picture(i);
        if (c.write_yuv420(p.data(), int(p.size()), kW, kH, pitch, dlen, t) != 0) break;
        if (c.write_pcm(pcm.data(), int(pcm.size()), 44100, 2, 16, t) != 0) break;
        printf("written %lld\n", (long long)t);
        fflush(stdout);
    }
    const bool ok = c.stop();
    printf("stop %d\n", ok ? 1 : 0);
    fflush(stdout);
    bg::UninitBridge();
    return 0;
}
