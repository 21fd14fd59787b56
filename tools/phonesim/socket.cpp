#include "socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace phonesim {

namespace {

bool waitFor(int fd, short events, int timeoutMs, short* revents) {
    pollfd p{fd, events, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    *revents = rc > 0 ? p.revents : 0;
    return rc > 0;
}

}  // namespace

bool TcpConnection::connect(const std::string& host, int port, std::string* error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (port <= 0 || port > 65535 || ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        *error = "not an IPv4 address and port: " + host + ":" + std::to_string(port);
        return false;
    }
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        *error = std::string("cannot create a socket: ") + std::strerror(errno);
        return false;
    }
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error =
            "cannot connect to " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd_ = std::move(fd);
    return true;
}

bool TcpConnection::sendAll(const void* data, size_t size, bool more) {
    if (!fd_.valid()) return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd_.get(), p, size, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            lastError_ = std::strerror(errno);
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

long TcpConnection::receiveSome(void* data, size_t size, int timeoutMs) {
    if (!fd_.valid()) return -1;
    short revents = 0;
    if (!waitFor(fd_.get(), POLLIN, timeoutMs, &revents)) return 0;
    ssize_t n;
    do {
        n = ::recv(fd_.get(), data, size, 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) lastError_ = "connection closed by the peer";
    if (n < 0) lastError_ = std::strerror(errno);
    return n > 0 ? static_cast<long>(n) : -1;
}

bool TcpConnection::peerClosed() {
    if (!fd_.valid()) return true;
    short revents = 0;
    if (!waitFor(fd_.get(), POLLIN | POLLRDHUP, 0, &revents)) return false;
    if (revents & (POLLERR | POLLHUP | POLLRDHUP)) return true;
    // Readable: the PC never sends on the media connection, so peek whether this is the end.
    char c;
    ssize_t n = ::recv(fd_.get(), &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

bool TcpConnection::finish(int timeoutMs) {
    if (!fd_.valid()) return true;
    ::shutdown(fd_.get(), SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char sink[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (receiveSome(sink, sizeof sink, static_cast<int>(left.count())) < 0) return true;
    }
}

bool UdpListener::bind(int port, std::string* error) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        *error = std::string("cannot create a UDP socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error = "cannot listen on UDP port " + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    fd_ = std::move(fd);
    return true;
}

long UdpListener::receive(void* data, size_t size, int timeoutMs, std::string* sender) {
    short revents = 0;
    if (!waitFor(fd_.get(), POLLIN, timeoutMs, &revents)) return -2;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd_.get(), data, size, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return errno == EINTR ? -2 : -1;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    *sender = text;
    return static_cast<long>(n);
}

}  // namespace phonesim
