// The virtual camera's three named objects: the picture block, its lock (a semaphore of value 1)
// and its new-picture event (a semaphore posted only while 0, so it behaves as auto-reset).
// The writer side (open with create, write) serves ShareMemoryManager; the reader side (open
// without create, waitForPicture, read) serves the camera component.
// Thread rules: not thread-safe; the owner serialises calls (ShareMemoryManager under its mutex).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sharedmem.h"

class NamedSharedMemory {
public:
    static constexpr int kLockTimeoutMs = 30;
    // A lock no one releases for this long belonged to a process that died holding it.
    static constexpr int kAbandonedLockMs = 2000;

    NamedSharedMemory() = default;
    ~NamedSharedMemory() { close(); }
    NamedSharedMemory(const NamedSharedMemory&) = delete;
    NamedSharedMemory& operator=(const NamedSharedMemory&) = delete;

    // Creates (or, without create, opens) the block of size bytes and then its event and lock.
    // False, with the failed flag set and nothing left open, when any of the three fails.
    bool open(const std::string& name, uint32_t size, bool create);
    // Copies length bytes (at most the block size) to the start of the block under the lock,
    // then sets the event. False, writing nothing, when the lock is not had within 30 ms.
    bool write(const uint8_t* bytes, uint32_t length);
    // Reader: waits at most timeoutMs for the event. True when it was set.
    bool waitForPicture(int timeoutMs);
    // Reader: copies length bytes (at most the block size) from the start of the block under
    // the lock, waiting at most lockTimeoutMs for it. False when the lock was not had.
    bool read(uint8_t* out, uint32_t length, int lockTimeoutMs = kLockTimeoutMs);
    void close();

    bool failed() const { return failed_; }
    bool isOpen() const { return mapping_.isOpen(); }
    const std::string& name() const { return name_; }
    uint32_t size() const { return size_; }
    // The mapped block, null until opened. Unlocked access: for inspection only.
    const uint8_t* view() const { return mapping_.data(); }

    // Deletes the three names of a base name (a test cleans up; open mappings stay valid).
    static void removeObjects(const std::string& name);

private:
    bool takeLock(int timeoutMs);
    void releaseLock();

    std::string name_;
    uint32_t size_ = 0;
    platform::SharedMemory mapping_;
    platform::NamedSemaphore lock_;
    platform::NamedSemaphore event_;
    std::vector<uint8_t> bytes_;  // released on close, otherwise unused
    bool failed_ = false;
    bool lockStalled_ = false;
    std::chrono::steady_clock::time_point stalledSince_;
};
