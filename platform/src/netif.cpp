#include "platform/netif.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <limits.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace platform {
namespace {

struct IfAddrsDeleter {
    void operator()(ifaddrs* p) const { ::freeifaddrs(p); }
};

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string driverName(const std::string& ifname) {
    char target[PATH_MAX];
    const std::string link = "/sys/class/net/" + ifname + "/device/driver";
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return std::string();
    const std::string path(target, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string describe(const std::string& ifname) {
    if (exists("/sys/devices/virtual/net/" + ifname)) return "Virtual network interface " + ifname;
    const std::string driver = driverName(ifname);
    return "Network interface " + ifname + (driver.empty() ? "" : " (" + driver + ")");
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(sep, start);
        parts.push_back(
            text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return parts;
}

}  // namespace

std::vector<NetInterface> parseAdapterOverride(const std::string& text) {
    std::vector<NetInterface> list;
    if (text.empty()) return list;
    for (const std::string& entry : split(text, ';')) {
        const std::vector<std::string> f = split(entry, '|');
        if (f.size() != 3) continue;
        list.push_back({f[0], f[1], f[2]});
    }
    return list;
}

bool listNetInterfaces(std::vector<NetInterface>& out) {
    if (const char* fake = std::getenv("KIVOCAM_ADAPTERS")) {
        std::vector<NetInterface> list = parseAdapterOverride(fake);
        if (list.empty()) return false;
        out.insert(out.end(), list.begin(), list.end());
        return true;
    }
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) return false;
    std::unique_ptr<ifaddrs, IfAddrsDeleter> all(raw);
    std::vector<NetInterface> list;
    for (const ifaddrs* a = all.get(); a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_name) continue;
        const std::string name = a->ifa_name;
        bool seen = false;
        for (const NetInterface& n : list) seen = seen || n.name == name;
        if (seen) continue;  // only the first address of an interface
        char ip[INET_ADDRSTRLEN] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        if (!::inet_ntop(AF_INET, &in->sin_addr, ip, sizeof ip)) continue;
        list.push_back({name, describe(name), ip});
    }
    if (list.empty()) return false;
    out.insert(out.end(), list.begin(), list.end());
    return true;
}

}  // namespace platform
