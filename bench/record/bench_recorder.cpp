// The recorder's per-picture work (flip, format conversion, turn, scale, conversion to YUV 4:2:0
// on pool buffers) for a 1920x1080 recording, next to a single libyuv ARGB-to-I420 conversion of
// a 1920x1080 picture measured in the same run.
// Usage: bench_recorder [pictures per case, default 200]
#include <QImage>
#include <QPainter>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include <libyuv/convert_from_argb.h>

#include "kivobridge/pool.h"
#include "record/pictureconverter.h"

namespace {

using Clock = std::chrono::steady_clock;

// The renderer's read-back: RGBA bytes, with some structure so no path is trivially fast.
QImage readBack(int width, int height) {
    QImage img(width, height, QImage::Format_RGBA8888);
    QPainter painter(&img);
    for (int y = 0; y < height; y += 16)
        for (int x = 0; x < width; x += 16)
            painter.fillRect(x, y, 16, 16, QColor((x * 7) & 255, (y * 3) & 255, (x + y) & 255));
    return img;
}

// Milliseconds per call, best of three rounds of n calls.
double perCall(int n, const std::function<void()>& work) {
    work();  // warm-up: pool buffers, caches
    double best = 1e30;
    for (int round = 0; round < 3; ++round) {
        const auto t0 = Clock::now();
        for (int i = 0; i < n; ++i) work();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / n;
        if (ms < best) best = ms;
    }
    return best;
}

struct PoolDeleter {
    void operator()(pp::Abstract_PacketPool* p) const { pp::destroy_pktpool(p); }
};

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int w = 1920;
    const int h = 1080;

    // Baseline: one libyuv conversion of a 1920x1080 ARGB picture into preallocated planes.
    const QImage argb = readBack(w, h).convertToFormat(QImage::Format_ARGB32);
    std::vector<uint8_t> planes(static_cast<size_t>(w) * h * 3 / 2);
    uint8_t* py = planes.data();
    uint8_t* pu = py + w * h;
    uint8_t* pv = pu + w * h / 4;
    const double baseline = perCall(n, [&] {
        libyuv::ARGBToI420(argb.constBits(), argb.bytesPerLine(), py, w, pu, w / 2, pv, w / 2, w,
                           h);
    });

    std::unique_ptr<pp::Abstract_PacketPool, PoolDeleter> pool(
        pp::create_pktpool("bench-recorder", nullptr));
    const PictureConverter converter(pool.get(), QSize(w, h));
    struct Case {
        const char* what;
        int width;
        int height;
    };
    const Case cases[] = {
        {"1920x1080 landscape: flip, format, YUV", 1920, 1080},
        {"1080x1920 portrait: flip, format, turn, YUV", 1080, 1920},
        {"1080x2340 portrait: flip, format, turn, scale, YUV", 1080, 2340},
    };

    std::printf("bench_recorder: %d pictures per case, best of 3 rounds, 1920x1080 recording\n", n);
    std::printf("%-52s %10s %8s\n", "case", "ms/picture", "ratio");
    std::printf("%-52s %10.3f %8.2f\n", "baseline: libyuv ARGBToI420 1920x1080", baseline, 1.0);
    for (const Case& c : cases) {
        const QImage picture = readBack(c.width, c.height);
        bool ok = true;
        const double ms = perCall(n, [&] { ok = ok && converter.convert(picture) != nullptr; });
        if (!ok) {
            std::fprintf(stderr, "conversion failed for %s\n", c.what);
            return 1;
        }
        std::printf("%-52s %10.3f %8.2f\n", c.what, ms, ms / baseline);
    }
    return 0;
}
