#include "platform/localsocket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"

namespace platform {

int probeLocalSocket(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return ENAMETOOLONG;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return errno;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return errno;
    return 0;
}

namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

}  // namespace

std::string pipewireSocketPath() {
    const std::string name = envOr("PIPEWIRE_REMOTE", "pipewire-0");
    if (name[0] == '/') return name;
    const std::string dir =
        envOr("PIPEWIRE_RUNTIME_DIR", envOr("XDG_RUNTIME_DIR", envOr("USERPROFILE", "")));
    return dir + "/" + name;
}

std::string pipewireUnreachable() {
    const std::string path = pipewireSocketPath();
    const int err = probeLocalSocket(path);
    if (err == 0) return std::string();
    return "no PipeWire daemon answers at " + path + " (" + std::strerror(err) + ")";
}

}  // namespace platform
