// TCP sockets for the mirroring servers: an owning handle, the calls the servers make, and the two
// blocking transfer helpers. Every call is safe from any thread; a given socket is used by one
// thread at a time (its server's). Sends never raise SIGPIPE.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace platform {

constexpr int kInvalidSocket = -1;

using Clock = std::chrono::steady_clock;
// A point after which a transfer gives up; Clock::time_point::max() means never.
using Deadline = Clock::time_point;
constexpr Deadline kNoDeadline = Deadline::max();

// Closes the socket it holds on destruction; movable, not copyable.
class Socket {
public:
    explicit Socket(int fd = kInvalidSocket) : fd_(fd) {}
    ~Socket() { reset(); }
    Socket(Socket&& o) noexcept : fd_(std::exchange(o.fd_, kInvalidSocket)) {}
    Socket& operator=(Socket&& o) noexcept {
        reset(std::exchange(o.fd_, kInvalidSocket));
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ != kInvalidSocket; }
    int release() { return std::exchange(fd_, kInvalidSocket); }
    void reset(int fd = kInvalidSocket);

private:
    int fd_;
};

// Error code of the last failed call on this thread (errno), and its restoration.
int lastError();
void setLastError(int code);

// AF_INET stream socket; invalid on failure.
Socket createTcpSocket();
bool setReuseAddress(int fd, bool on);
// Binds to 0.0.0.0:port.
bool bindAnyAddress(int fd, uint16_t port);
bool listenOn(int fd, int backlog);
// The local port of a bound socket (getsockname).
bool localPort(int fd, uint16_t* port);
// Accepts one connection; kInvalidSocket on failure with lastError() set.
int acceptConnection(int listenFd);
// True for accept failures that concern only the attempt (resources, aborted handshakes).
bool isTransientAcceptError(int code);

bool setKeepAlive(int fd, bool on);
// Keep-alive timing given in milliseconds; rounded up to whole seconds (never 0).
bool setKeepAliveTimes(int fd, int idleMs, int intervalMs, int probes);
// Receive and send calls on fd return a time-out error after ms milliseconds without progress.
bool setIoTimeouts(int fd, int ms);

void shutdownBoth(int fd);
void closeSocket(int fd);

// Raw transfers: bytes moved, 0 on orderly close (recv), -1 on error with lastError() set.
long recvSome(int fd, void* buf, size_t len);
long sendSome(int fd, const void* buf, size_t len);
bool isTimeoutError(int code);

// Network byte order of 32-bit words.
uint32_t hostToNet32(uint32_t v);
uint32_t netToHost32(uint32_t v);
uint32_t loadBe32(const uint8_t* p);
void storeBe32(uint8_t* p, uint32_t v);

// Waits until one of the sockets is ready or timeoutUs passes, like select() without its
// descriptor limit. Returns the number of ready entries, 0 on time-out, -1 on error. A hung-up
// or failed socket counts as readable, so the next recv reports it.
struct PollEntry {
    int fd = kInvalidSocket;
    bool wantRead = false;
    bool wantWrite = false;
    bool readable = false;
    bool writable = false;
};
int pollSockets(PollEntry* entries, size_t count, int timeoutUs);

// Receives exactly *len bytes unless the peer closes or fails (false), or the running flag is
// cleared or the deadline passes between two reads (true, *len short). On return *len holds
// the bytes received. A clear flag on entry gives *len = 0 and true.
bool recvExact(int fd, void* buf, size_t* len, const std::atomic<bool>* running,
               Deadline deadline = kNoDeadline);
// Sends all len bytes while the flag is set. False when a send fails or the deadline passes;
// true when everything went out or the flag was cleared.
bool sendAll(int fd, const void* data, size_t len, const std::atomic<bool>* running,
             Deadline deadline = kNoDeadline);

// A blocking client connection to 127.0.0.1:port (tests and benchmarks); invalid on failure.
Socket connectLoopback(uint16_t port);
// Number of open file descriptors of this process; -1 when it cannot be counted.
int openFdCount();
// The soft limit on descriptor numbers (tests use it to provoke EMFILE); -1 on failure.
long openFileLimit();
bool setOpenFileLimit(long limit);

}  // namespace platform
