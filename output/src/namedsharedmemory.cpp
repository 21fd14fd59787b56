#include "output/namedsharedmemory.h"

#include <algorithm>
#include <cstring>

#include "kivobridge/log.h"
#include "output/camerablock.h"
#include "platform/files.h"

bool NamedSharedMemory::open(const std::string& name, uint32_t size, bool create) {
    close();
    name_ = name;
    size_ = size;
    int err = mapping_.open(camerablock::mappingName(name), size, create);
    if (err == 0) err = event_.open(camerablock::eventName(name), 0, create);
    if (err == 0) err = lock_.open(camerablock::lockName(name), 1, create);
    if (err != 0) {
        LOGW("Virtual camera block %s could not be opened: %s", name.c_str(),
             platform::errorText(err).c_str());
        mapping_.close();
        event_.close();
        lock_.close();
        failed_ = true;
        return false;
    }
    failed_ = false;
    return true;
}

bool NamedSharedMemory::takeLock(int timeoutMs) {
    const auto result = lock_.wait(timeoutMs);
    if (result == platform::NamedSemaphore::Wait::Taken) {
        lockStalled_ = false;
        return true;
    }
    // A semaphore, unlike a mutex, is not given back when its holder dies; a lock held far
    // longer than one block copy takes is restored so the camera does not stay dark for good.
    const auto now = std::chrono::steady_clock::now();
    if (!lockStalled_) {
        lockStalled_ = true;
        stalledSince_ = now;
    } else if (now - stalledSince_ > std::chrono::milliseconds(kAbandonedLockMs)) {
        LOGW("Virtual camera lock %s abandoned, restoring it", name_.c_str());
        lock_.postIfZero();
        lockStalled_ = false;
    }
    return false;
}

void NamedSharedMemory::releaseLock() {
    // Capped at 1: a late release after a restore must not let two holders in.
    lock_.postIfZero();
}

bool NamedSharedMemory::write(const uint8_t* bytes, uint32_t length) {
    if (!isOpen() || !bytes) return false;
    if (!takeLock(kLockTimeoutMs)) return false;
    std::memcpy(mapping_.data(), bytes, std::min(length, size_));
    releaseLock();
    event_.postIfZero();
    return true;
}

bool NamedSharedMemory::waitForPicture(int timeoutMs) {
    return isOpen() && event_.wait(timeoutMs) == platform::NamedSemaphore::Wait::Taken;
}

bool NamedSharedMemory::read(uint8_t* out, uint32_t length, int lockTimeoutMs) {
    if (!isOpen() || !out) return false;
    if (lock_.wait(lockTimeoutMs) != platform::NamedSemaphore::Wait::Taken) return false;
    std::memcpy(out, mapping_.data(), std::min(length, size_));
    releaseLock();
    return true;
}

void NamedSharedMemory::close() {
    mapping_.close();
    std::vector<uint8_t>().swap(bytes_);
    event_.close();
    lock_.close();
    name_.clear();
    lockStalled_ = false;
}

void NamedSharedMemory::removeObjects(const std::string& name) {
    platform::SharedMemory::remove(camerablock::mappingName(name));
    platform::NamedSemaphore::remove(camerablock::lockName(name));
    platform::NamedSemaphore::remove(camerablock::eventName(name));
}
