// What a background component needs from the OS: going into the background, a lock file that
// keeps one instance at a time, stop signals, and telling processes apart by their start time.
// Thread rules: detachToBackground and StopSignals::install on the main thread before any other
// thread starts; the rest from any thread.
#pragma once

#include <string>

#include "platform/files.h"

namespace platform {

// $XDG_RUNTIME_DIR, else /tmp.
std::string runtimeDir();

// Forks; the parent exits with 0 at once, the child continues in a new session with standard
// input on /dev/null and standard output and error appended to logPath ("" = /dev/null).
// Returns 0 in the child or the errno value of a failed fork (then nothing changed).
int detachToBackground(const std::string& logPath);

// SIGTERM, SIGINT and SIGHUP set a flag instead of ending the process; SIGPIPE is ignored so a
// closed pipe shows up as a failed write.
class StopSignals {
public:
    static void install();
    static bool requested();
};

// An exclusive advisory lock on a file, held while the object lives (and released by the kernel
// if the process dies). The file holds the holder's id and start time.
class InstanceLock {
public:
    // Tries for at most timeoutMs. 0, EWOULDBLOCK when another process holds it, or errno.
    int acquire(const std::string& path, int timeoutMs);
    // Writes "pid starttime" into the locked file.
    bool writeOwner(long long pid, long long startTime);
    void release() { fd_.reset(); }

private:
    UniqueFd fd_;
};

struct LockOwner {
    bool held = false;  // a live process holds the lock
    long long pid = 0;
    long long startTime = -1;
};
// Who holds the lock of path, without taking it for longer than a moment.
LockOwner readLockOwner(const std::string& path);

// Start time of a process in clock ticks since boot (/proc/PID/stat), -1 when unknown.
long long processStartTime(long long pid);
// Whether the process pid that started at startTime still runs (a zombie counts as ended, and so
// does another process that got the same id later).
bool processRunning(long long pid, long long startTime);
// Sends SIGTERM. 0 or the errno value.
int terminateProcess(long long pid);

}  // namespace platform
