#include "mirror/server.h"

// The bridge headers come before Qt's: Qt defines "emit" as a macro.
#include "kivobridge/log.h"

#include <QDebug>

#include <cerrno>
#include <cstdio>
#include <exception>

namespace mirror {

Server::~Server() {
    stop();
}

void Server::join() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
}

bool Server::start(uint16_t port) {
    if (thread_.joinable()) {
        join();
        listen_.reset();
    }
    port_ = port;
    platform::Socket s = platform::createTcpSocket();
    if (!s.valid()) {
        qDebug() << "套接字创建失败";
        return false;
    }
    uint16_t bound = 0;
    if (!platform::setReuseAddress(s.get(), true) || !platform::bindAnyAddress(s.get(), port) ||
        !platform::listenOn(s.get(), 5) || !platform::localPort(s.get(), &bound)) {
        const int code = platform::lastError();
        s.reset();
        platform::setLastError(code);
        return false;
    }
    listen_ = std::move(s);
    boundPort_ = bound;
    running_ = true;
    try {
        thread_ = std::thread([this] {
            serving_ = true;
            run();
            serving_ = false;
        });
    } catch (const std::exception&) {
        running_ = false;
        listen_.reset();
        platform::setLastError(EAGAIN);
        return false;
    }
    return true;
}

void Server::stop() {
    join();
    listen_.reset();
}

int Server::acceptClient(int* out) {
    platform::Socket client(platform::acceptConnection(listen_.get()));
    if (!client.valid() || !socket_tcp_alive(client.get())) {
        const int error = platform::lastError();
        LOGW("Accept failed (error %d); still listening", error);
        acceptPausedUntil_ = platform::Clock::now() + kAcceptBackoff;
        return -1;
    }
    if (!platform::localPort(client.get(), nullptr)) {
        platform::shutdownBoth(client.get());
        return 0;
    }
    // Short blocking slices keep every transfer responsive to stop().
    platform::setIoTimeouts(client.get(), kSocketPollMs);
    *out = client.release();
    return 1;
}

bool Server::socket_tcp_alive(int fd) {
    if (!platform::setKeepAlive(fd, true)) {
        printf("setsockopt failed: %d \n", platform::lastError());
        return false;
    }
    // keep-alive time 3 ms and interval 500 ms; the system counts whole seconds
    if (!platform::setKeepAliveTimes(fd, 3, 500, 10)) {
        const int error = platform::lastError();
        LOGE("socket_tcp_alive WSAIoctl failed: %d \\n", error);
        return false;
    }
    return true;
}

void Server::socket_close_tcp_alive(int fd) {
    fprintf(stderr, "socket_close_tcp_alive\n");
    platform::setKeepAlive(fd, false);
}

}  // namespace mirror
