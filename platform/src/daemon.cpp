#include "platform/daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace platform {

namespace {

volatile sig_atomic_t g_stop = 0;

void onStopSignal(int) {
    g_stop = 1;
}

}  // namespace

std::string runtimeDir() {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    return (dir && *dir) ? std::string(dir) : std::string("/tmp");
}

int detachToBackground(const std::string& logPath) {
    const pid_t pid = ::fork();
    if (pid < 0) return errno;
    if (pid > 0) ::_exit(0);
    ::setsid();
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in >= 0) {
        ::dup2(in, 0);
        ::close(in);
    }
    const int out = logPath.empty()
                        ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                        : ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (out >= 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::close(out);
    }
    return 0;
}

void StopSignals::install() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

bool StopSignals::requested() {
    return g_stop != 0;
}

int InstanceLock::acquire(const std::string& path, int timeoutMs) {
    fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd_.valid()) return errno;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) return 0;
        const int err = errno;
        if (err != EWOULDBLOCK && err != EINTR) {
            fd_.reset();
            return err;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            fd_.reset();
            return EWOULDBLOCK;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool InstanceLock::writeOwner(long long pid, long long startTime) {
    if (!fd_.valid() || ::ftruncate(fd_.get(), 0) != 0) return false;
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%lld %lld\n", pid, startTime);
    return ::pwrite(fd_.get(), text, static_cast<size_t>(n), 0) == n;
}

LockOwner readLockOwner(const std::string& path) {
    LockOwner owner;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return owner;
    // Free lock: whatever the file says is left over from a component that died.
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return owner;
    owner.held = true;
    char text[64] = {};
    const ssize_t n = ::pread(fd.get(), text, sizeof text - 1, 0);
    if (n > 0) std::sscanf(text, "%lld %lld", &owner.pid, &owner.startTime);
    return owner;
}

namespace {

// Start time (field 22 of /proc/PID/stat) and state letter (field 3); false when unreadable.
bool readProcessStat(long long pid, long long* startTime, char* state) {
    std::string stat;
    if (readFile("/proc/" + std::to_string(pid) + "/stat", &stat) != 0) return false;
    // The command name may hold spaces and parentheses; fields restart after the last ')'.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return false;
    *state = stat[close + 2];
    const char* p = stat.c_str() + close + 1;
    // Field 22 (starttime) is the 20th after the name.
    for (int field = 3; field < 22; ++field) {
        p = std::strchr(p + 1, ' ');
        if (!p) return false;
    }
    *startTime = std::strtoll(p + 1, nullptr, 10);
    return true;
}

}  // namespace

long long processStartTime(long long pid) {
    long long start = -1;
    char state = 0;
    return readProcessStat(pid, &start, &state) ? start : -1;
}

bool processRunning(long long pid, long long startTime) {
    long long start = -1;
    char state = 0;
    if (pid <= 0 || !readProcessStat(pid, &start, &state)) return false;
    return start == startTime && state != 'Z' && state != 'X';
}

int terminateProcess(long long pid) {
    if (pid <= 0) return EINVAL;
    return ::kill(static_cast<pid_t>(pid), SIGTERM) == 0 ? 0 : errno;
}

}  // namespace platform
