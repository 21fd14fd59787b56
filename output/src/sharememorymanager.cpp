#include "output/sharememorymanager.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <libyuv.h>

#include "kivobridge/log.h"
#include "output/camerablock.h"

ShareMemoryManager* ShareMemoryManager::instance() {
    static ShareMemoryManager manager;
    return &manager;
}

ShareMemoryManager::ShareMemoryManager() = default;

ShareMemoryManager::~ShareMemoryManager() {
    if (isRunning()) stopWrite();
    releaseMemory();
}

void ShareMemoryManager::createMemory(uint32_t size) {
    {
        std::lock_guard<std::mutex> lock(blockMutex_);
        if (!memory_) {
            auto memory = std::make_unique<NamedSharedMemory>();
            if (memory->open(camerablock::baseName(), size, true)) {
                memory_ = std::move(memory);
            } else {
                memory->close();
            }
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    size_ = size;
    if (!staging_) {
        staging_ = std::make_unique<uint8_t[]>(size);  // value-initialised: zeros
        stagingSize_ = size;
    }
}

void ShareMemoryManager::writeEmptyHeaderLocked() {
    if (!memory_) return;
    // Written until it lands: a reader that is descheduled, stopped or killed while it holds
    // the block's lock must not leave the last picture in front of consumers. write() restores
    // a lock held past kAbandonedLockMs, so this ends soon after that; the limit only covers a
    // semaphore that fails outright.
    const auto giveUp = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(2 * NamedSharedMemory::kAbandonedLockMs);
    uint8_t header[camerablock::kHeaderSize] = {};
    while (!memory_->write(header, sizeof header)) {
        if (std::chrono::steady_clock::now() >= giveUp) {
            LOGW("Virtual camera block %s: the empty header could not be written",
                 memory_->name().c_str());
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ShareMemoryManager::clearFrame() {
    std::lock_guard<std::mutex> lock(blockMutex_);
    writeEmptyHeaderLocked();
}

void ShareMemoryManager::setFrame(I420FramePtr frame) {
    if (!frame) return;
    const int w = I420Frame::displayWidth(frame->width());
    const int h = frame->height();
    if (!camerablock::isCameraSize(w, h)) return;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!staging_ || stagingSize_ < camerablock::kHeaderSize + camerablock::i420Size(w, h)) return;
    uint8_t* y = staging_.get() + camerablock::kHeaderSize;
    uint8_t* u = y + static_cast<size_t>(w) * h;
    uint8_t* v = u + static_cast<size_t>(w / 2) * (h / 2);
    camerablock::writeHeader(staging_.get(), w, h);
    libyuv::I420Copy(frame->dataY(), frame->strideY(), frame->dataU(), frame->strideU(),
                     frame->dataV(), frame->strideV(), y, w, u, w / 2, v, w / 2, w, h);
    ++generation_;
    stagedTimeUs_ = frame->timeUs();
    lock.unlock();
    wake_.notify_one();
    frame.reset();
}

void ShareMemoryManager::startWrite() {
    stop_ = false;
    start(QThread::InheritPriority);
}

void ShareMemoryManager::stopWrite() {
    {
        // Under the lock, so a writer about to wait cannot miss the wake-up.
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        // The next session starts with "no picture", not with this session's last one: its
        // phone may never send a picture of camera size.
        if (staging_ && stagingSize_ >= camerablock::kHeaderSize)
            camerablock::writeHeader(staging_.get(), 0, 0);
    }
    wake_.notify_all();
    {
        std::lock_guard<std::mutex> lock(blockMutex_);
        writeEmptyHeaderLocked();
    }
    exit(0);
    wait();
    runLock_.lock();
    runLock_.unlock();
}

void ShareMemoryManager::releaseMemory() {
    std::lock_guard<std::mutex> lock(blockMutex_);
    if (memory_) memory_->close();
    memory_.reset();
}

bool ShareMemoryManager::hasMemory() {
    std::lock_guard<std::mutex> lock(blockMutex_);
    return memory_ != nullptr;
}

void ShareMemoryManager::run() {
    std::lock_guard<std::mutex> running(runLock_);
    using Clock = std::chrono::steady_clock;
    bool copied = false;
    uint64_t copiedGeneration = 0;
    auto lastPicture = Clock::now();
    auto lastWrite = Clock::now();
    while (!stop_) {
        uint32_t length = 0;
        int64_t newPictureUs = 0;  // the decode time of a picture written for the first time
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (copied) {
                // A new picture goes out as soon as it is staged, so a steady phone never has a
                // picture written twice; once the phone pauses for longer than its own frame
                // interval, the last one is rewritten for consumers that join late.
                const auto due = std::max(lastPicture + std::chrono::milliseconds(kIdleMs),
                                          lastWrite + std::chrono::milliseconds(kRefreshMs));
                wake_.wait_until(lock, due,
                                 [&] { return stop_ || generation_ != copiedGeneration; });
                if (stop_) return;
            }
            if (!staging_) return;
            if (outgoingSize_ != stagingSize_) {
                outgoing_ = std::make_unique<uint8_t[]>(stagingSize_);
                outgoingSize_ = stagingSize_;
                copied = false;
            }
            if (!copied || copiedGeneration != generation_) {
                std::memcpy(outgoing_.get(), staging_.get(), stagingSize_);
                copied = true;
                copiedGeneration = generation_;
                lastPicture = Clock::now();
                newPictureUs = stagedTimeUs_;
            }
            length = std::min(size_, stagingSize_);
        }
        {
            std::lock_guard<std::mutex> lock(blockMutex_);
            if (!memory_) return;
            // Checked again under the lock: once stopWrite has written its empty header, no
            // late pass may put the old picture back in front of the reader.
            if (stop_) return;
            memory_->write(outgoing_.get(), length);
        }
        lastWrite = Clock::now();
        // For the latency benchmark (debug level only).
        if (newPictureUs && bg::CD)
            LOGD("[stats]picture in the camera block: decoded at %lld us, written at %lld us",
                 static_cast<long long>(newPictureUs),
                 static_cast<long long>(bg::CD->utility()->clock()));
    }
}
