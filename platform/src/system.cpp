#include "platform/system.h"

#include <dlfcn.h>
#include <link.h>
#include <malloc.h>
#include <pwd.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace platform {

bool startupSockets() {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

void cleanupSockets() {}

std::string userName() {
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name && *pw->pw_name)
        return pw->pw_name;
    if (const char* user = std::getenv("USER")) return user;
    return std::string();
}

bool processExists(long long pid) {
    if (pid <= 0) return false;
    if (::kill(static_cast<pid_t>(pid), 0) == 0) return true;
    return errno == EPERM;
}

int pointerBits() {
    return static_cast<int>(sizeof(void*) * 8);
}

void releaseFreeMemory() {
    malloc_trim(0);
}

void settleHeap() {
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}

void keepModulesLoaded(const char* fragment) {
    struct Found {
        const char* fragment;
        std::vector<std::string> names;
    } found{fragment, {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* f = static_cast<Found*>(data);
            if (info->dlpi_name && std::strstr(info->dlpi_name, f->fragment))
                f->names.emplace_back(info->dlpi_name);
            return 0;
        },
        &found);
    // Outside the iteration, which holds the loader's lock. The handles stay open.
    for (const std::string& name : found.names)
        dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace platform
