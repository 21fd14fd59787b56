// ShareMemoryManager against the real shared block, read back the way the camera reads it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "camera_pictures.h"
#include "output/camerablock.h"
#include "output/namedsharedmemory.h"
#include "output/sharememorymanager.h"
#include "platform/sharedmem.h"

namespace {

class CameraManager : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = camerablock::baseName();
        NamedSharedMemory::removeObjects(base_);
    }
    void TearDown() override { NamedSharedMemory::removeObjects(base_); }

    // The block as a reader sees it after the next refresh (or right now with wait = false).
    std::vector<uint8_t> readBlock(bool wait) {
        NamedSharedMemory reader;
        std::vector<uint8_t> block(camerablock::kBlockSize);
        if (!reader.open(base_, camerablock::kBlockSize, false)) return {};
        if (wait) {
            reader.waitForPicture(0);  // an older wake-up may predate the change being awaited
            if (!reader.waitForPicture(2000)) return {};
        }
        if (!reader.read(block.data(), block.size(), 1000)) return {};
        return block;
    }

    // Whether the reader sees f within a few refreshes.
    bool showsSoon(const I420FramePtr& f) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < end)
            if (holds(readBlock(true), f)) return true;
        return false;
    }

    // Whether the picture part of block is exactly the tight planes of frame.
    static bool holds(const std::vector<uint8_t>& block, const I420FramePtr& f) {
        if (block.size() != camerablock::kBlockSize) return false;
        const auto h = camerablock::readHeader(block.data());
        if (h.width != f->width() || h.height != f->height()) return false;
        const uint8_t* p = block.data() + camerablock::kHeaderSize;
        const int w = f->width(), ht = f->height();
        for (int y = 0; y < ht; ++y, p += w)
            if (std::memcmp(p, f->dataY() + y * f->strideY(), w)) return false;
        for (int y = 0; y < ht / 2; ++y, p += w / 2)
            if (std::memcmp(p, f->dataU() + y * f->strideU(), w / 2)) return false;
        for (int y = 0; y < ht / 2; ++y, p += w / 2)
            if (std::memcmp(p, f->dataV() + y * f->strideV(), w / 2)) return false;
        return true;
    }

    std::string base_;
};

// The whole life the main window drives: empty header at start-up, pictures while connected,
// 0 x 0 after a disconnect with the picture left behind, and on reconnect still 0 x 0 until the
// new connection's own first picture: never the previous connection's last one.
TEST_F(CameraManager, LifecycleAsTheReaderSeesIt) {
    ShareMemoryManager m;
    m.createMemory(camerablock::kBlockSize);
    m.clearFrame();
    auto block = readBlock(false);
    ASSERT_FALSE(block.empty());
    EXPECT_TRUE(camerablock::readHeader(block.data()).empty());

    const I420FramePtr first = camtest::makePicture(1280, 720, 1);
    m.setFrame(first);
    m.startWrite();
    EXPECT_TRUE(holds(readBlock(true), first));

    m.stopWrite();
    EXPECT_FALSE(m.isRunning());
    block = readBlock(false);
    EXPECT_TRUE(camerablock::readHeader(block.data()).empty());
    block[0] = 0x00, block[1] = 0x05, block[4] = 0xD0, block[5] = 0x02;  // pixels stay behind
    EXPECT_TRUE(holds(block, first));

    m.startWrite();
    for (int refresh = 0; refresh < 4; ++refresh) {  // the first write and idle rewrites alike
        block = readBlock(true);
        ASSERT_FALSE(block.empty());
        EXPECT_TRUE(camerablock::readHeader(block.data()).empty()) << "refresh " << refresh;
    }
    const I420FramePtr portrait = camtest::makePicture(720, 1280, 2);
    m.setFrame(portrait);
    EXPECT_TRUE(showsSoon(portrait));
    m.stopWrite();
    m.releaseMemory();
    EXPECT_FALSE(m.hasMemory());
}

// A writer pass racing stopWrite must never put the old header back after the empty one. A
// second thread keeps the manager's lock busy so the writer often waits for it mid-pass.
TEST_F(CameraManager, StopAlwaysLeavesAnEmptyHeader) {
    ShareMemoryManager m;
    m.createMemory(camerablock::kBlockSize);
    const I420FramePtr f = camtest::makePicture(1280, 720, 3);
    m.setFrame(f);
    NamedSharedMemory reader;
    ASSERT_TRUE(reader.open(base_, camerablock::kBlockSize, false));
    std::atomic<bool> done{false};
    std::thread busy([&] {
        while (!done) m.setFrame(f);
    });
    for (int i = 0; i < 40; ++i) {
        m.startWrite();
        // Stop after 0 to 3 refreshes, so the stop meets the writer at different points.
        for (int k = 0; k < i % 4; ++k) reader.waitForPicture(1000);
        m.stopWrite();
        const auto block = readBlock(false);
        if (!camerablock::readHeader(block.data()).empty()) {
            ADD_FAILURE() << "picture header after stopWrite, cycle " << i;
            break;
        }
    }
    done = true;
    busy.join();
}

// A reader that died (or was stopped) holding the block's lock must not keep the last picture
// in front of consumers: stopWrite and clearFrame write the empty header until it is written,
// taking the lock back once it counts as abandoned.
TEST_F(CameraManager, EmptyHeaderWrittenPastAReaderHoldingTheLock) {
    using Clock = std::chrono::steady_clock;
    ShareMemoryManager m;
    m.createMemory(camerablock::kBlockSize);
    const I420FramePtr f = camtest::makePicture(1280, 720, 13);
    m.setFrame(f);
    m.startWrite();
    ASSERT_TRUE(holds(readBlock(true), f));

    NamedSharedMemory view;  // unlocked look at the header, as no reader can take the lock
    ASSERT_TRUE(view.open(base_, camerablock::kBlockSize, false));
    platform::NamedSemaphore lock;
    ASSERT_EQ(lock.open(camerablock::lockName(base_), 1, false), 0);
    ASSERT_EQ(lock.wait(1000), platform::NamedSemaphore::Wait::Taken);  // and never given back
    const auto t0 = Clock::now();
    m.stopWrite();
    EXPECT_TRUE(camerablock::readHeader(view.view()).empty()) << "stopWrite lost the header";
    EXPECT_LT(Clock::now() - t0,
              std::chrono::milliseconds(NamedSharedMemory::kAbandonedLockMs + 1000));

    // The same for clearFrame, as at a start-up that finds a picture header in the block.
    uint8_t header[camerablock::kHeaderSize];
    camerablock::writeHeader(header, 1280, 720);
    ASSERT_TRUE(view.write(header, sizeof header));  // the lock was taken back for stopWrite
    ASSERT_EQ(lock.wait(1000), platform::NamedSemaphore::Wait::Taken);
    m.clearFrame();
    EXPECT_TRUE(camerablock::readHeader(view.view()).empty()) << "clearFrame lost the header";
    lock.postIfZero();
}

// Only the two camera sizes are written, whatever the strides; anything else (and frames
// before the memory exists) leaves the staged picture alone instead of reading past a buffer.
TEST_F(CameraManager, OnlyCameraSizesReachTheBlock) {
    ShareMemoryManager m;
    m.setFrame(camtest::makePicture(1280, 720, 4));  // no staging buffer yet: dropped
    m.createMemory(camerablock::kBlockSize);
    const I420FramePtr padded = camtest::makePicture(1280, 720, 5, 1344);
    m.setFrame(padded);
    m.setFrame(camtest::makePicture(1280, 722, 6));
    m.setFrame(camtest::makePicture(1920, 1080, 7));
    m.setFrame(camtest::makePicture(640, 360, 8));
    m.setFrame(nullptr);
    m.startWrite();
    EXPECT_TRUE(holds(readBlock(true), padded));
    m.stopWrite();
}

// A second startWrite while writing must not start a second writer that outlives stopWrite.
TEST_F(CameraManager, StartWriteTwiceKeepsOneWriter) {
    ShareMemoryManager m;
    m.createMemory(camerablock::kBlockSize);
    m.setFrame(camtest::makePicture(1280, 720, 9));
    m.startWrite();
    m.startWrite();
    EXPECT_TRUE(m.isRunning());
    m.stopWrite();
    EXPECT_FALSE(m.isRunning());
    NamedSharedMemory reader;
    ASSERT_TRUE(reader.open(base_, camerablock::kBlockSize, false));
    reader.waitForPicture(0);  // the stop's own refresh
    EXPECT_FALSE(reader.waitForPicture(200));
    EXPECT_TRUE(camerablock::readHeader(readBlock(false).data()).empty());
}

// Without a block the program runs on: staging still works, clear and stop write nothing, a
// started writer ends at once, and nothing crashes.
TEST_F(CameraManager, RunsOnWhenTheBlockCannotBeCreated) {
    const std::string saved = base_;
    ::setenv("KIVOCAM_SHM_NAME", std::string(300, 'x').c_str(), 1);
    ShareMemoryManager m;
    m.createMemory(camerablock::kBlockSize);
    ::setenv("KIVOCAM_SHM_NAME", saved.c_str(), 1);
    EXPECT_FALSE(m.hasMemory());
    m.clearFrame();
    m.setFrame(camtest::makePicture(1280, 720, 10));
    m.startWrite();
    EXPECT_TRUE(m.wait(2000));
    m.stopWrite();
    NamedSharedMemory reader;
    EXPECT_FALSE(reader.open(base_, camerablock::kBlockSize, false));
}

// A camera reader that keeps the block's lock must not hold up setFrame, the GUI thread's call:
// the writer waits for the named lock without the staging lock. Stalls are counted against the
// writer's 30 ms lock wait: held across it, about one call per writer pass stalls that long.
TEST_F(CameraManager, ReaderHoldingTheLockDoesNotStallSetFrame) {
    using Clock = std::chrono::steady_clock;
    ShareMemoryManager m;
    m.createMemory(camerablock::kBlockSize);
    const I420FramePtr f = camtest::makePicture(1280, 720, 12);
    m.setFrame(f);
    m.startWrite();
    ASSERT_TRUE(holds(readBlock(true), f));

    platform::NamedSemaphore lock;
    ASSERT_EQ(lock.open(camerablock::lockName(base_), 1, false), 0);
    ASSERT_EQ(lock.wait(1000), platform::NamedSemaphore::Wait::Taken);
    const auto stallAt = std::chrono::milliseconds(NamedSharedMemory::kLockTimeoutMs * 2 / 3);
    int calls = 0, stalled = 0;
    // Well inside the time after which the writer takes a held lock for abandoned.
    const auto end = Clock::now() + std::chrono::milliseconds(1000);
    while (Clock::now() < end) {
        const auto t0 = Clock::now();
        m.setFrame(f);
        if (Clock::now() - t0 >= stallAt) ++stalled;
        ++calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // pictures keep coming
    }
    lock.post();
    EXPECT_GT(calls, 20);
    EXPECT_LE(stalled, 3) << "of " << calls << " calls";
    EXPECT_TRUE(holds(readBlock(true), f));
    m.stopWrite();
}

// The staging buffer outlives releaseMemory, so a block created again shows the last picture.
TEST_F(CameraManager, StagingSurvivesRelease) {
    ShareMemoryManager m;
    m.createMemory(camerablock::kBlockSize);
    const I420FramePtr f = camtest::makePicture(720, 1280, 11);
    m.setFrame(f);
    m.releaseMemory();
    NamedSharedMemory::removeObjects(base_);
    m.createMemory(camerablock::kBlockSize);
    m.startWrite();
    EXPECT_TRUE(holds(readBlock(true), f));
    m.stopWrite();
}

}  // namespace
