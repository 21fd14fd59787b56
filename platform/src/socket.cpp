#include "platform/socket.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace platform {

void Socket::reset(int fd) {
    if (fd_ != kInvalidSocket) ::close(fd_);
    fd_ = fd;
}

int lastError() {
    return errno;
}
void setLastError(int code) {
    errno = code;
}

Socket createTcpSocket() {
    return Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

bool setReuseAddress(int fd, bool on) {
    const int v = on ? 1 : 0;
    return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &v, sizeof v) == 0;
}

bool bindAnyAddress(int fd, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

bool listenOn(int fd, int backlog) {
    return ::listen(fd, backlog) == 0;
}

bool localPort(int fd, uint16_t* port) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return false;
    if (port) {
        *port =
            addr.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port) : 0;
    }
    return true;
}

int acceptConnection(int listenFd) {
    for (;;) {
        unsigned char addr[128];
        socklen_t len = sizeof addr;
        const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(addr), &len, SOCK_CLOEXEC);
        if (fd >= 0 || errno != EINTR) return fd >= 0 ? fd : kInvalidSocket;
    }
}

bool isTransientAcceptError(int code) {
    switch (code) {
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case EAGAIN:
        case EINTR:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return true;
        default:
            return false;
    }
}

bool setKeepAlive(int fd, bool on) {
    const int v = on ? 1 : 0;
    return ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &v, sizeof v) == 0;
}

bool setKeepAliveTimes(int fd, int idleMs, int intervalMs, int probes) {
    auto seconds = [](int ms) { return ms <= 1000 ? 1 : (ms + 999) / 1000; };
    const int idle = seconds(idleMs);
    const int interval = seconds(intervalMs);
    return ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0;
}

bool setIoTimeouts(int fd, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

void shutdownBoth(int fd) {
    ::shutdown(fd, SHUT_RDWR);
}

void closeSocket(int fd) {
    if (fd != kInvalidSocket) ::close(fd);
}

long recvSome(int fd, void* buf, size_t len) {
    return ::recv(fd, buf, len, 0);
}

long sendSome(int fd, const void* buf, size_t len) {
    return ::send(fd, buf, len, MSG_NOSIGNAL);
}

bool isTimeoutError(int code) {
    return code == EAGAIN || code == EWOULDBLOCK;
}

uint32_t hostToNet32(uint32_t v) {
    return htonl(v);
}
uint32_t netToHost32(uint32_t v) {
    return ntohl(v);
}

uint32_t loadBe32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return ntohl(v);
}

void storeBe32(uint8_t* p, uint32_t v) {
    const uint32_t n = htonl(v);
    std::memcpy(p, &n, sizeof n);
}

int pollSockets(PollEntry* entries, size_t count, int timeoutUs) {
    std::vector<pollfd> fds(count);
    for (size_t i = 0; i < count; ++i) {
        fds[i].fd = entries[i].fd;
        fds[i].events = static_cast<short>((entries[i].wantRead ? POLLIN : 0) |
                                           (entries[i].wantWrite ? POLLOUT : 0));
        entries[i].readable = entries[i].writable = false;
    }
    const int timeoutMs = timeoutUs <= 0 ? 0 : (timeoutUs + 999) / 1000;
    const int rc = ::poll(fds.data(), fds.size(), timeoutMs);
    if (rc < 0) return errno == EINTR ? 0 : -1;
    int ready = 0;
    for (size_t i = 0; i < count; ++i) {
        const short re = fds[i].revents;
        entries[i].readable = entries[i].wantRead && (re & (POLLIN | POLLHUP | POLLERR));
        entries[i].writable = entries[i].wantWrite && (re & (POLLOUT | POLLERR));
        if (entries[i].readable || entries[i].writable) ++ready;
    }
    return ready;
}

bool recvExact(int fd, void* buf, size_t* len, const std::atomic<bool>* running,
               Deadline deadline) {
    const size_t want = *len;
    *len = 0;
    if (running && !running->load()) return true;
    auto* out = static_cast<unsigned char*>(buf);
    size_t got = 0;
    while (got < want) {
        const long n = ::recv(fd, out + got, want - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EINTR || isTimeoutError(errno))) {
            // A receive time-out only gives the loop a chance to look at the flag and clock.
        } else {
            *len = got;
            return false;
        }
        if (got < want && ((running && !running->load()) || Clock::now() >= deadline)) break;
    }
    *len = got;
    return true;
}

bool sendAll(int fd, const void* data, size_t len, const std::atomic<bool>* running,
             Deadline deadline) {
    const auto* in = static_cast<const unsigned char*>(data);
    size_t sent = 0;
    while (sent < len && (!running || running->load())) {
        const long n = ::send(fd, in + sent, len - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EINTR || isTimeoutError(errno))) {
            if (Clock::now() >= deadline) return false;
        } else {
            return false;
        }
    }
    return true;
}

Socket connectLoopback(uint16_t port) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) return s;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) s.reset();
    return s;
}

int openFdCount() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    int count = 0;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count - 1;  // the directory stream's own descriptor
}

long openFileLimit() {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
    return static_cast<long>(rl.rlim_cur);
}

bool setOpenFileLimit(long limit) {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
    rl.rlim_cur = static_cast<rlim_t>(limit);
    return ::setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

}  // namespace platform
