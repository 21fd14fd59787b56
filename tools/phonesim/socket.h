// Small POSIX socket layer of the phone simulator: an owning descriptor, a TCP connection and a
// UDP listener. Every call blocks at most for the time it is given.
// Thread rules: a socket object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/files.h"

namespace phonesim {

using platform::UniqueFd;

class TcpConnection {
public:
    // Connects to an IPv4 address and port; on failure returns false and a readable reason.
    bool connect(const std::string& host, int port, std::string* error);
    void close() { fd_.reset(); }
    bool isOpen() const { return fd_.valid(); }

    // Sends every byte (never raises SIGPIPE); false once the peer is gone. `more` hints that
    // further bytes of the same message follow at once.
    bool sendAll(const void* data, size_t size, bool more = false);
    // Receives up to size bytes, waiting at most timeoutMs: >0 bytes read, 0 time-out,
    // -1 the peer closed the connection or an error occurred.
    long receiveSome(void* data, size_t size, int timeoutMs);
    // True when the peer has closed or reset the connection (checked without waiting).
    bool peerClosed();
    // Ends the sending side and waits up to timeoutMs for the peer to close its side, which
    // tells that it has read everything. False on time-out.
    bool finish(int timeoutMs);
    const std::string& lastError() const { return lastError_; }

private:
    UniqueFd fd_;
    std::string lastError_;
};

// Listens for UDP datagrams on every local address; sends nothing.
class UdpListener {
public:
    // Binds 0.0.0.0:port with SO_REUSEADDR and SO_REUSEPORT, so that several listeners (and
    // the real phone application) can share the port.
    bool bind(int port, std::string* error);
    // Waits up to timeoutMs for one datagram: >=0 its size, -2 time-out, -1 error.
    long receive(void* data, size_t size, int timeoutMs, std::string* sender);

private:
    UniqueFd fd_;
};

}  // namespace phonesim
