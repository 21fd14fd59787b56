// The phone's end of the command channel: sends requests and collects the PC's replies, printing
// both on standard output.
// Thread rules: one thread at a time (the session's control loop).
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include "socket.h"
#include "wire.h"

namespace phonesim {

class ControlClient {
public:
    bool connect(const std::string& host, int port, std::string* error);
    void close() { conn_.close(); }
    // Sends one request; a null data value sends none.
    bool request(int type, const Json::Value& data = Json::Value());
    // Sends bytes as they are (for deliberately broken frames).
    bool sendRaw(const std::vector<uint8_t>& bytes);
    // Waits up to timeoutMs for the next reply: 1 reply read, 0 time-out, -1 the connection
    // is closed or broken (reason in *error).
    int readReply(Json::Value* reply, int timeoutMs, std::string* error);
    int replies() const { return replies_; }
    const std::string& lastError() const { return conn_.lastError(); }

private:
    TcpConnection conn_;
    ReplyReader reader_;
    int replies_ = 0;
};

}  // namespace phonesim
