// The shared picture block and its lock and event, through the real named objects.
#include <gtest/gtest.h>

#include <QFile>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "output/camerablock.h"
#include "output/namedsharedmemory.h"
#include "platform/sharedmem.h"

namespace {

using Clock = std::chrono::steady_clock;

class CameraBlock : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = camerablock::baseName();
        NamedSharedMemory::removeObjects(base_);
    }
    void TearDown() override { NamedSharedMemory::removeObjects(base_); }
    std::string base_;
};

// The header is the contract with another process: little-endian, and a reader must refuse
// sizes that would make it read past the block (negative, odd, overflowing or too large).
TEST(CameraBlockLayout, HeaderBytesAndSizeChecks) {
    std::vector<uint8_t> block(camerablock::kBlockSize);
    camerablock::writeHeader(block.data(), 1280, 720);
    EXPECT_EQ(block[0], 0x00);
    EXPECT_EQ(block[1], 0x05);
    EXPECT_EQ(block[4], 0xD0);
    EXPECT_EQ(block[5], 0x02);
    EXPECT_EQ(camerablock::kBlockSize, 1382408u);

    const auto fits = [&](int32_t w, int32_t h) {
        return camerablock::pictureFits({w, h}, camerablock::kBlockSize);
    };
    EXPECT_TRUE(fits(1280, 720));
    EXPECT_TRUE(fits(720, 1280));
    EXPECT_TRUE(fits(640, 360));
    EXPECT_FALSE(fits(1282, 720));
    EXPECT_FALSE(fits(-1280, -720));
    EXPECT_FALSE(fits(1279, 720));
    EXPECT_FALSE(fits(0x7ffffffe, 2));
    EXPECT_FALSE(fits(65536, 65536));
    EXPECT_TRUE(camerablock::readHeader(std::vector<uint8_t>(8).data()).empty());
    EXPECT_FALSE(camerablock::pictureFits({1280, 720}, 7));
}

// The event must behave as auto-reset: many refreshes while the reader is busy wake it once,
// not once per refresh (a counting semaphore would queue stale wake-ups).
TEST_F(CameraBlock, EventIsPostedOnlyWhileZero) {
    NamedSharedMemory writer;
    ASSERT_TRUE(writer.open(base_, camerablock::kBlockSize, true));
    NamedSharedMemory reader;
    ASSERT_TRUE(reader.open(base_, camerablock::kBlockSize, false));
    EXPECT_FALSE(reader.waitForPicture(0));

    std::vector<uint8_t> bytes(camerablock::kBlockSize, 0x5A);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(writer.write(bytes.data(), bytes.size()));
    EXPECT_TRUE(reader.waitForPicture(0));
    EXPECT_FALSE(reader.waitForPicture(0));

    std::vector<uint8_t> copy(camerablock::kBlockSize);
    ASSERT_TRUE(reader.read(copy.data(), copy.size()));
    EXPECT_EQ(copy, bytes);
}

// A held lock must make the writer give up after about 30 ms without touching the block, and
// must not be taken from the holder while it is legitimately busy.
TEST_F(CameraBlock, LockTimeOutSkipsTheWrite) {
    NamedSharedMemory writer;
    ASSERT_TRUE(writer.open(base_, camerablock::kBlockSize, true));
    platform::NamedSemaphore lock;
    ASSERT_EQ(lock.open(camerablock::lockName(base_), 1, false), 0);
    ASSERT_EQ(lock.wait(0), platform::NamedSemaphore::Wait::Taken);

    std::vector<uint8_t> bytes(16, 0xEE);
    const auto t0 = Clock::now();
    EXPECT_FALSE(writer.write(bytes.data(), bytes.size()));
    const auto waited = Clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(25));
    EXPECT_LT(waited, std::chrono::milliseconds(1000));
    EXPECT_EQ(writer.view()[0], 0);  // nothing written
    platform::NamedSemaphore event;
    ASSERT_EQ(event.open(camerablock::eventName(base_), 0, false), 0);
    EXPECT_EQ(event.value(), 0);  // and no wake-up for a picture that was not written

    ASSERT_TRUE(lock.post());
    EXPECT_TRUE(writer.write(bytes.data(), bytes.size()));
    EXPECT_EQ(writer.view()[0], 0xEE);
    EXPECT_EQ(lock.value(), 1);
}

// A reader that died holding the lock would leave the camera dark for good: after a long
// stall the writer restores the lock, and the lock never counts above 1 afterwards.
TEST_F(CameraBlock, AbandonedLockIsRestored) {
    NamedSharedMemory writer;
    ASSERT_TRUE(writer.open(base_, camerablock::kBlockSize, true));
    platform::NamedSemaphore lock;
    ASSERT_EQ(lock.open(camerablock::lockName(base_), 1, false), 0);
    ASSERT_EQ(lock.wait(0), platform::NamedSemaphore::Wait::Taken);  // and never released

    uint8_t byte = 1;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    bool written = false;
    while (!written && Clock::now() < deadline) written = writer.write(&byte, 1);
    EXPECT_TRUE(written);
    EXPECT_EQ(lock.value(), 1);
}

// Opening must never map more than exists (a reader would fault on the first touch) and a
// failed open leaves the failed flag set and nothing half open.
TEST_F(CameraBlock, OpenFailures) {
    NamedSharedMemory reader;
    EXPECT_FALSE(reader.open(base_, camerablock::kBlockSize, false));  // not created yet
    EXPECT_TRUE(reader.failed());
    EXPECT_FALSE(reader.isOpen());

    platform::SharedMemory small;
    ASSERT_EQ(small.open(camerablock::mappingName(base_), 4096, true), 0);
    EXPECT_FALSE(reader.open(base_, camerablock::kBlockSize, false));

    NamedSharedMemory tooLong;
    EXPECT_FALSE(tooLong.open(std::string(300, 'k'), camerablock::kBlockSize, true));
    EXPECT_TRUE(tooLong.failed());
    uint8_t byte = 0;
    EXPECT_FALSE(tooLong.write(&byte, 1));
}

// Any local process may open the objects whatever the creator's umask.
TEST_F(CameraBlock, ObjectsAreOpenToEveryone) {
    NamedSharedMemory writer;
    ASSERT_TRUE(writer.open(base_, camerablock::kBlockSize, true));
    for (const std::string& path : {"/dev/shm/" + base_, "/dev/shm/sem." + base_ + "_lock",
                                    "/dev/shm/sem." + base_ + "_event"}) {
        const auto perms = QFile::permissions(QString::fromStdString(path));
        EXPECT_TRUE(perms & QFileDevice::WriteOther) << path;
        EXPECT_TRUE(perms & QFileDevice::ReadOther) << path;
    }
}

}  // namespace
