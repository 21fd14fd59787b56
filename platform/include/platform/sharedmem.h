// Named objects shared between processes: a POSIX shared-memory mapping and named semaphores.
// Both are plain owners (movable, not copyable); they close on destruction but never remove the
// name, so a reader that has them open survives the writer's restart. remove() deletes a name.
// Thread rules: one owner thread for open/close; wait/post/value of a semaphore from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// A shared-memory object mapped read-write over its first size bytes.
class SharedMemory {
public:
    SharedMemory() = default;
    ~SharedMemory() { close(); }
    SharedMemory(SharedMemory&& o) noexcept;
    SharedMemory& operator=(SharedMemory&& o) noexcept;
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    // name starts with "/". With create the object is made when missing (mode 0666 whatever the
    // umask, so any local user may open it) and grown to size; without it, an object smaller than
    // size is refused (EINVAL) rather than mapped past its end. 0 or the errno value.
    int open(const std::string& name, size_t size, bool create);
    void close();
    bool isOpen() const { return view_ != nullptr; }
    uint8_t* data() const { return view_; }
    size_t size() const { return size_; }

    // Deletes the name; objects already open stay usable. 0 or the errno value.
    static int remove(const std::string& name);

private:
    uint8_t* view_ = nullptr;
    size_t size_ = 0;
};

// A named counting semaphore, used as a lock (initial 1) or as an auto-reset event (initial 0).
class NamedSemaphore {
public:
    enum class Wait { Taken, TimedOut, Failed };

    NamedSemaphore() = default;
    ~NamedSemaphore() { close(); }
    NamedSemaphore(NamedSemaphore&& o) noexcept;
    NamedSemaphore& operator=(NamedSemaphore&& o) noexcept;
    NamedSemaphore(const NamedSemaphore&) = delete;
    NamedSemaphore& operator=(const NamedSemaphore&) = delete;

    // name starts with "/". With create the semaphore is made with initialValue when missing
    // (mode 0666 whatever the umask); an existing one keeps its value. 0 or the errno value.
    int open(const std::string& name, unsigned initialValue, bool create);
    void close();
    bool isOpen() const { return sem_ != nullptr; }

    // Takes one count, waiting at most timeoutMs (0: only tries). Interrupted waits resume.
    Wait wait(int timeoutMs);
    // Adds one count. False on an error.
    bool post();
    // Adds one count only while the value is 0, so the value never exceeds 1. False when the
    // value was already above 0 or on an error.
    bool postIfZero();
    // Current value, or -1 on an error.
    int value() const;

    static int remove(const std::string& name);

private:
    void* sem_ = nullptr;  // sem_t*, kept opaque so callers need no system header
};

}  // namespace platform
