#include "platform/fifo.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>

namespace platform {

namespace {

// Writing to a pipe whose reader vanished raises SIGPIPE, which would end the program; the
// write reports EPIPE instead once the signal is ignored.
void ignoreSigpipe() {
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

}  // namespace

bool audioLinkIsShared() {
    const char* link = std::getenv("KIVOCAM_AUDIO_LINK");
    const char* run = std::getenv("XDG_RUNTIME_DIR");
    return !(link && *link) && !(run && *run);
}

std::string audioLinkPath() {
    if (const char* link = std::getenv("KIVOCAM_AUDIO_LINK"); link && *link) return link;
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run)
        return std::string(run) + "/KivoAudioDeviceLink";
    return "/tmp/KivoAudioDeviceLink-" + std::to_string(::getuid());
}

UniqueFd openFifoWriter(const std::string& path, int* error, bool mustBePrivate) {
    ignoreSigpipe();
    const int flags =
        O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (mustBePrivate ? O_NOFOLLOW : 0);
    UniqueFd fd(::open(path.c_str(), flags));
    if (!fd.valid()) {
        // A symbolic link refused by O_NOFOLLOW is a foreign object, not a missing one.
        if (error) *error = (mustBePrivate && errno == ELOOP) ? EPERM : errno;
        return fd;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
        if (error) *error = ENODEV;
        return UniqueFd();
    }
    if (mustBePrivate && (st.st_uid != ::geteuid() || (st.st_mode & 07777) != 0600)) {
        if (error) *error = EPERM;
        return UniqueFd();
    }
    if (error) *error = 0;
    return fd;
}

FifoWrite writeFifo(int fd, const void* data, size_t len, int* error) {
    // Pieces of at most PIPE_BUF bytes go out whole or not at all, so the reader never sees
    // half a sample even when the pipe fills up in the middle of a long block.
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        const size_t piece = len < PIPE_BUF ? len : PIPE_BUF;
        const ssize_t n = ::write(fd, p, piece);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return FifoWrite::Pending;
            if (error) *error = errno;
            return FifoWrite::Failed;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return FifoWrite::Written;
}

int makeFifo(const std::string& path) {
    return ::mkfifo(path.c_str(), 0600) == 0 ? 0 : errno;
}

int removePath(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

UniqueFd openFifoReader(const std::string& path, int* error) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (error) *error = fd.valid() ? 0 : errno;
    return fd;
}

long readFifo(int fd, void* buf, size_t len) {
    for (;;) {
        const ssize_t n = ::read(fd, buf, len);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

bool waitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

bool waitHangup(int fd, int timeoutMs) {
    // No events asked for: data waiting in the pipe does not end the wait, a hang-up does.
    pollfd p{fd, 0, 0};
    return ::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLHUP);
}

}  // namespace platform
