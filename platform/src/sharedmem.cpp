#include "platform/sharedmem.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>

#include "platform/files.h"

namespace platform {

SharedMemory::SharedMemory(SharedMemory&& o) noexcept
    : view_(std::exchange(o.view_, nullptr)), size_(std::exchange(o.size_, 0)) {}

SharedMemory& SharedMemory::operator=(SharedMemory&& o) noexcept {
    if (this != &o) {
        close();
        view_ = std::exchange(o.view_, nullptr);
        size_ = std::exchange(o.size_, 0);
    }
    return *this;
}

int SharedMemory::open(const std::string& name, size_t size, bool create) {
    close();
    if (size == 0) return EINVAL;
    UniqueFd fd(::shm_open(name.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666));
    if (!fd.valid()) return errno;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return errno;
    if (static_cast<size_t>(st.st_size) < size) {
        // Mapping past the end of the object would fault on the first touch.
        if (!create) return EINVAL;
        if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return errno;
    }
    // The umask must not keep other users' processes out.
    if (create && (st.st_mode & 0777) != 0666) (void)::fchmod(fd.get(), 0666);
    void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (view == MAP_FAILED) return errno;
    view_ = static_cast<uint8_t*>(view);
    size_ = size;
    return 0;
}

void SharedMemory::close() {
    if (view_) ::munmap(view_, size_);
    view_ = nullptr;
    size_ = 0;
}

int SharedMemory::remove(const std::string& name) {
    return ::shm_unlink(name.c_str()) == 0 ? 0 : errno;
}

NamedSemaphore::NamedSemaphore(NamedSemaphore&& o) noexcept
    : sem_(std::exchange(o.sem_, nullptr)) {}

NamedSemaphore& NamedSemaphore::operator=(NamedSemaphore&& o) noexcept {
    if (this != &o) {
        close();
        sem_ = std::exchange(o.sem_, nullptr);
    }
    return *this;
}

int NamedSemaphore::open(const std::string& name, unsigned initialValue, bool create) {
    close();
    sem_t* sem = create ? ::sem_open(name.c_str(), O_CREAT, 0666, initialValue)
                        : ::sem_open(name.c_str(), 0);
    if (sem == SEM_FAILED) return errno;
    // glibc keeps a named semaphore as /dev/shm/sem.<name>; widen it past the umask.
    if (create) (void)::chmod(("/dev/shm/sem." + name.substr(1)).c_str(), 0666);
    sem_ = sem;
    return 0;
}

void NamedSemaphore::close() {
    if (sem_) ::sem_close(static_cast<sem_t*>(sem_));
    sem_ = nullptr;
}

NamedSemaphore::Wait NamedSemaphore::wait(int timeoutMs) {
    if (!sem_) return Wait::Failed;
    sem_t* sem = static_cast<sem_t*>(sem_);
    timespec deadline{};
    ::clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        const int rc = timeoutMs <= 0 ? ::sem_trywait(sem) : ::sem_timedwait(sem, &deadline);
        if (rc == 0) return Wait::Taken;
        if (errno == EINTR) continue;
        return (errno == ETIMEDOUT || errno == EAGAIN) ? Wait::TimedOut : Wait::Failed;
    }
}

bool NamedSemaphore::post() {
    return sem_ && ::sem_post(static_cast<sem_t*>(sem_)) == 0;
}

bool NamedSemaphore::postIfZero() {
    return value() == 0 && post();
}

int NamedSemaphore::value() const {
    int v = 0;
    if (!sem_ || ::sem_getvalue(static_cast<sem_t*>(sem_), &v) != 0) return -1;
    return v;
}

int NamedSemaphore::remove(const std::string& name) {
    return ::sem_unlink(name.c_str()) == 0 ? 0 : errno;
}

}  // namespace platform
