#include "discovery.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "socket.h"
#include "wire.h"

namespace phonesim {

bool parseDiscovery(const std::string& text, PcAddress* out, std::string* error) {
    Json::Value root;
    if (!parseJson(text, &root, error)) return false;
    const Json::Value& ip = root["ip"];
    const Json::Value& port = root["port"];
    const Json::Value& name = root["name"];
    in_addr parsed{};
    if (!ip.isString() || ::inet_pton(AF_INET, ip.asCString(), &parsed) != 1) {
        *error = "no IPv4 address in \"ip\"";
        return false;
    }
    if (!port.isIntegral() || port.asInt64() < 1 || port.asInt64() > 65535) {
        *error = "no TCP port in \"port\"";
        return false;
    }
    if (!name.isString()) {
        *error = "no text in \"name\"";
        return false;
    }
    out->ip = ip.asString();
    out->port = port.asInt();
    out->name = name.asString();
    return true;
}

bool discoverPc(int udpPort, double timeoutSeconds, const std::atomic<bool>* cancel, PcAddress* out,
                std::string* error) {
    UdpListener listener;
    if (!listener.bind(udpPort, error)) return false;
    std::printf("listening for the PC on UDP port %d\n", udpPort);
    std::fflush(stdout);
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (*cancel) {
            *error = "interrupted while looking for the PC";
            return false;
        }
        if (left.count() <= 0) {
            *error = "no discovery datagram within " + std::to_string(timeoutSeconds) + " s";
            return false;
        }
        char buf[2048];
        std::string sender;
        const long n = listener.receive(buf, sizeof buf, std::min<int>(200, left.count()), &sender);
        if (n == -1) {
            *error = "the discovery listener failed";
            return false;
        }
        if (n < 0) continue;
        std::string why;
        if (parseDiscovery(std::string(buf, static_cast<size_t>(n)), out, &why)) {
            std::printf("discovered PC \"%s\" at %s:%d (datagram from %s)\n", out->name.c_str(),
                        out->ip.c_str(), out->port, sender.c_str());
            return true;
        }
        std::fprintf(stderr, "ignored a datagram from %s: %s\n", sender.c_str(), why.c_str());
    }
}

}  // namespace phonesim
