// Base of the three TCP servers: a listening socket and one thread that runs the subclass's loop.
// Thread rules: start, stop and destruction on the owner's thread; run and the socket helpers
// on the server thread. Every subclass destructor must call stop() first, so the loop never
// runs against a half-destroyed object.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/socket.h"

namespace mirror {

// A message not completed within this time drops its peer.
constexpr std::chrono::seconds kMessageTimeout{10};
// Longest a blocking receive or send waits before the loop looks at the running flag again.
constexpr int kSocketPollMs = 100;
// Pause of accepting after a failed accept.
constexpr std::chrono::milliseconds kAcceptBackoff{100};

class Server {
public:
    Server() = default;
    virtual ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Listens on 0.0.0.0:port and starts the thread; false with lastError() preserved.
    bool start(uint16_t port);
    void stop();

    uint16_t port() const { return port_; }
    // Port the listening socket is bound to (differs from port() only when port() is 0).
    uint16_t boundPort() const { return boundPort_; }
    // True from a successful start until stop; stays true when the loop ended on its own.
    bool isRunning() const { return running_.load(); }
    // True while the server thread is inside run().
    bool isServing() const { return serving_.load(); }

protected:
    virtual void run() = 0;

    // 1: *out holds a new connection; 0: the connection was dropped at once; -1: accept or
    // keep-alive failed (the attempt is dropped and logged; the listening socket stays usable,
    // but accepting pauses briefly so a lasting failure such as EMFILE cannot spin the loop).
    int acceptClient(int* out);
    // Whether the listening socket may be polled now (false during the pause after a failure).
    bool acceptAllowed() const { return platform::Clock::now() >= acceptPausedUntil_; }
    static bool socket_tcp_alive(int fd);
    static void socket_close_tcp_alive(int fd);

    int listenSocket() const { return listen_.get(); }
    const std::atomic<bool>* runningFlag() const { return &running_; }
    static platform::Deadline messageDeadline() { return platform::Clock::now() + kMessageTimeout; }

    std::atomic<bool> running_{false};

private:
    void join();

    platform::Socket listen_;
    platform::Clock::time_point acceptPausedUntil_{};
    uint16_t port_ = 0;
    uint16_t boundPort_ = 0;
    std::thread thread_;
    std::atomic<bool> serving_{false};
};

}  // namespace mirror
