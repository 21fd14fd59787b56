#include "controlclient.h"

#include <chrono>
#include <cstdio>

namespace phonesim {

namespace {

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

bool ControlClient::connect(const std::string& host, int port, std::string* error) {
    return conn_.connect(host, port, error);
}

bool ControlClient::request(int type, const Json::Value& data) {
    const std::string text = requestText(type, data);
    std::printf("request: %s\n", text.c_str());
    const std::vector<uint8_t> frame = controlFrame(text);
    return conn_.sendAll(frame.data(), frame.size());
}

bool ControlClient::sendRaw(const std::vector<uint8_t>& bytes) {
    return conn_.sendAll(bytes.data(), bytes.size());
}

int ControlClient::readReply(Json::Value* reply, int timeoutMs, std::string* error) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::string text;
        const int got = reader_.next(&text);
        if (got < 0) {
            *error = "the PC announced a reply of more than 1 MiB";
            return -1;
        }
        if (got > 0) {
            ++replies_;
            std::printf("reply: %s\n", trimmed(text).c_str());
            if (!parseJson(text, reply, error)) {
                *error = "the PC sent a reply that is not a JSON object: " + *error;
                return -1;
            }
            return 1;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) return 0;
        uint8_t buf[4096];
        const long n = conn_.receiveSome(buf, sizeof buf, static_cast<int>(left.count()));
        if (n < 0) {
            *error = conn_.lastError();
            return -1;
        }
        if (n == 0) return 0;
        reader_.feed(buf, static_cast<size_t>(n));
    }
}

}  // namespace phonesim
