// When the camera writer puts pictures into the shared block: each new picture once, as it
// arrives, and the last one again only after the phone has paused, for consumers that join late.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "camera_pictures.h"
#include "output/camerablock.h"
#include "output/namedsharedmemory.h"
#include "output/sharememorymanager.h"

namespace {

using Clock = std::chrono::steady_clock;

class CameraCadence : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = camerablock::baseName();
        NamedSharedMemory::removeObjects(base_);
        manager_.createMemory(camerablock::kBlockSize);
        picture_ = camtest::makePicture(1280, 720, 3);
    }
    void TearDown() override {
        manager_.stopWrite();
        manager_.releaseMemory();
        NamedSharedMemory::removeObjects(base_);
    }

    // Stages the picture with its number in the first luma bytes.
    void stage(uint32_t id) {
        std::memcpy(picture_->dataY(), &id, sizeof id);
        manager_.setFrame(picture_);
    }

    static uint32_t idOf(const std::vector<uint8_t>& block) {
        uint32_t id = 0;
        std::memcpy(&id, block.data() + camerablock::kHeaderSize, sizeof id);
        return id;
    }

    std::string base_;
    ShareMemoryManager manager_;
    I420FramePtr picture_;
};

// A consumer that counts every write it is woken for, while the phone sends 30 pictures a
// second: a picture seen twice means the writer repeated it although the next one was due.
TEST_F(CameraCadence, SteadyStreamWritesEachPictureOnce) {
    NamedSharedMemory reader;
    ASSERT_TRUE(reader.open(base_, camerablock::kBlockSize, false));
    std::mutex seenMutex;
    std::map<uint32_t, int> seen;
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        std::vector<uint8_t> block(camerablock::kBlockSize);
        while (!done) {
            if (!reader.waitForPicture(50) || !reader.read(block.data(), block.size())) continue;
            std::lock_guard<std::mutex> lock(seenMutex);
            ++seen[idOf(block)];
        }
    });
    constexpr uint32_t kPictures = 90;
    std::vector<Clock::time_point> stagedAt;
    stage(1);
    stagedAt.push_back(Clock::now());
    manager_.startWrite();
    const auto start = Clock::now();
    for (uint32_t id = 2; id <= kPictures; ++id) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(33333) * (id - 1));
        stage(id);
        stagedAt.push_back(Clock::now());
    }
    // The last picture is written once the consumer has seen it.
    const auto end = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(seenMutex);
            if (seen.count(kPictures) || Clock::now() > end) break;
        }
        std::this_thread::yield();
    }
    manager_.stopWrite();
    done = true;
    consumer.join();

    int shown = 0;
    for (uint32_t id = 1; id < kPictures; ++id) {
        shown += seen.count(id) ? 1 : 0;
        // A late scheduler may let the phone pause past the idle limit: then a rewrite is right.
        const bool onTime = stagedAt[id] - stagedAt[id - 1] <
                            std::chrono::milliseconds(ShareMemoryManager::kIdleMs);
        if (onTime) {
            EXPECT_LE(seen[id], 1) << "picture " << id << " written more than once";
        }
    }
    EXPECT_TRUE(seen.count(kPictures)) << "the last picture never reached the consumer";
    // A consumer can miss a wake-up when two pictures come close together, but not many.
    EXPECT_GE(shown, static_cast<int>(kPictures) * 9 / 10);
}

// After the phone stops, a consumer that opens the camera later still gets the last picture,
// again and again, within a refresh or two.
TEST_F(CameraCadence, LateConsumerGetsTheLastPicture) {
    stage(7);
    manager_.startWrite();
    stage(8);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the phone has gone quiet

    NamedSharedMemory reader;
    ASSERT_TRUE(reader.open(base_, camerablock::kBlockSize, false));
    std::vector<uint8_t> block(camerablock::kBlockSize);
    for (int pass = 0; pass < 3; ++pass) {
        reader.waitForPicture(0);  // a wake-up from before this consumer came
        const auto asked = Clock::now();
        ASSERT_TRUE(reader.waitForPicture(2000)) << "no rewrite after the phone stopped";
        const auto waited = Clock::now() - asked;
        ASSERT_TRUE(reader.read(block.data(), block.size()));
        EXPECT_EQ(idOf(block), 8u);
        EXPECT_EQ(camerablock::readHeader(block.data()).width, 1280);
        // 30 ms between rewrites; the rest is room for a busy machine.
        EXPECT_LT(waited, std::chrono::milliseconds(130));
    }
}

}  // namespace
