// bench_camera: what the virtual camera costs per picture at 1280 x 720.
//   display copy  - libyuv I420Copy of a decoded picture (padded rows) into a tight frame
//   staging copy  - ShareMemoryManager::setFrame (lock + copy into the staging buffer)
//   block write   - NamedSharedMemory::write of the whole block (named lock, copy, event)
// each next to a plain memcpy of the same 1,382,400 bytes, and the writer thread's CPU time
// while it refreshes the block for a few seconds with pictures arriving at 30 per second.
// Last, how long setFrame (the GUI thread's call) takes at 30 pictures per second while a
// camera reader holds the block's lock, next to the same with the lock free.
// Usage: bench_camera [seconds-of-streaming]
#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <libyuv.h>

#include "output/camerablock.h"
#include "output/namedsharedmemory.h"
#include "output/sharememorymanager.h"
#include "platform/sharedmem.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kW = 1280;
constexpr int kH = 720;
constexpr size_t kPicture = kW * kH * 3 / 2;

template <typename F>
double microsPerCall(F&& f, int rounds = 300) {
    for (int i = 0; i < 10; ++i) f();  // warm caches and page tables
    double best = 1e30;
    for (int rep = 0; rep < 3; ++rep) {
        const auto t0 = Clock::now();
        for (int i = 0; i < rounds; ++i) f();
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        best = std::min(best, us / rounds);
    }
    return best;
}

// CPU nanoseconds a thread of this process has used, found by its name.
long long threadCpuNs(const QString& name) {
    const QDir tasks("/proc/self/task");
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + "/comm"));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name.toUtf8()) continue;
        QFile sched(tasks.filePath(tid + "/schedstat"));
        if (!sched.open(QIODevice::ReadOnly)) return -1;
        return sched.readAll().split(' ').value(0).toLongLong();
    }
    return -1;
}

struct CallTimes {
    double meanMs = 0;
    double maxMs = 0;
};

// setFrame at 30 per second for a while; with holdLock a reader keeps the named lock all along
// (in stretches below the writer's abandoned-lock limit).
CallTimes setFrameTimes(ShareMemoryManager& manager, const I420FramePtr& picture,
                        platform::NamedSemaphore* lock) {
    CallTimes t;
    int calls = 0;
    for (int round = 0; round < 3; ++round) {
        if (lock && lock->wait(1000) != platform::NamedSemaphore::Wait::Taken) return CallTimes{};
        const auto end = Clock::now() + std::chrono::milliseconds(1500);
        while (Clock::now() < end) {
            const auto t0 = Clock::now();
            manager.setFrame(picture);
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            t.meanMs += ms;
            t.maxMs = std::max(t.maxMs, ms);
            ++calls;
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
        if (lock) lock->post();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the writer catches up
    }
    t.meanMs /= std::max(1, calls);
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 5.0;
    if (!std::getenv("KIVOCAM_SHM_NAME")) ::setenv("KIVOCAM_SHM_NAME", "KivoBenchCamera", 1);
    const std::string base = camerablock::baseName();
    NamedSharedMemory::removeObjects(base);

    // A decoded picture as FFmpeg hands it over: rows padded to 1344.
    auto decoded = std::make_shared<I420Frame>(kW, kH, 1344, 672, 672);
    std::memset(decoded->dataY(), 100, decoded->bufferSize());
    auto display = std::make_shared<I420Frame>(kW, kH, kW, kW / 2, kW / 2);
    std::vector<uint8_t> src(kPicture, 7), dst(kPicture);

    const double memcpyUs = microsPerCall([&] { std::memcpy(dst.data(), src.data(), kPicture); });
    const double displayUs = microsPerCall([&] {
        libyuv::I420Copy(decoded->dataY(), 1344, decoded->dataU(), 672, decoded->dataV(), 672,
                         display->dataY(), kW, display->dataU(), kW / 2, display->dataV(), kW / 2,
                         kW, kH);
    });

    ShareMemoryManager manager;
    manager.createMemory(camerablock::kBlockSize);
    if (!manager.hasMemory()) {
        std::fprintf(stderr, "bench_camera: the camera block could not be created\n");
        return 1;
    }
    const double stagingUs = microsPerCall([&] { manager.setFrame(display); });

    NamedSharedMemory block;
    block.open(base + "_bench", camerablock::kBlockSize, true);
    std::vector<uint8_t> staged(camerablock::kBlockSize, 9);
    const double blockUs =
        microsPerCall([&] { block.write(staged.data(), static_cast<uint32_t>(staged.size())); });
    block.close();
    NamedSharedMemory::removeObjects(base + "_bench");

    std::printf("per picture, 1280x720 (1,382,400 bytes), best of 3 x 300 calls:\n");
    std::printf("  baseline memcpy          %8.1f us\n", memcpyUs);
    std::printf("  display copy (I420Copy)  %8.1f us  (%.2fx memcpy)\n", displayUs,
                displayUs / memcpyUs);
    std::printf("  staging copy (setFrame)  %8.1f us  (%.2fx memcpy)\n", stagingUs,
                stagingUs / memcpyUs);
    std::printf("  block write (write)      %8.1f us  (%.2fx memcpy)\n", blockUs,
                blockUs / memcpyUs);

    // Streaming: the writer refreshes every 30 ms while pictures arrive at 30 per second.
    manager.setObjectName("vcam-writer");
    manager.startWrite();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long long cpu0 = threadCpuNs("vcam-writer");
    const auto t0 = Clock::now();
    while (Clock::now() - t0 < std::chrono::duration<double>(seconds)) {
        manager.setFrame(display);
        std::this_thread::sleep_for(std::chrono::milliseconds(33));
    }
    const long long cpu1 = threadCpuNs("vcam-writer");
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();

    platform::NamedSemaphore readerLock;
    const CallTimes free = setFrameTimes(manager, display, nullptr);
    CallTimes held;
    if (readerLock.open(camerablock::lockName(base), 1, false) == 0)
        held = setFrameTimes(manager, display, &readerLock);
    manager.stopWrite();
    manager.releaseMemory();
    NamedSharedMemory::removeObjects(base);
    if (cpu0 < 0 || cpu1 < 0) {
        std::fprintf(stderr, "bench_camera: writer thread not found in /proc/self/task\n");
        return 1;
    }
    const double cpuPct = 100.0 * (cpu1 - cpu0) / 1e9 / wall;
    // What one block write per refresh alone would cost, from the figure above.
    const double expectedPct = 100.0 * blockUs / 1e6 * (1000.0 / (30.0 + blockUs / 1000.0));
    std::printf(
        "writer thread while streaming %.1f s: %.2f%% of one core "
        "(baseline: block write x refresh rate = %.2f%%)\n",
        wall, cpuPct, expectedPct);
    std::printf("setFrame at 30 pictures/s while the writer runs, 3 x 1.5 s:\n");
    std::printf("  baseline, lock free      mean %6.2f ms  max %6.2f ms\n", free.meanMs,
                free.maxMs);
    std::printf("  a reader holds the lock  mean %6.2f ms  max %6.2f ms\n", held.meanMs,
                held.maxMs);
    return 0;
}
