#include "platform/system.h"

#include <malloc.h>
#include <pwd.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

}  // namespace platform
