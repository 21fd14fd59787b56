// Operating-system services the program needs outside networking. Any thread.
#pragma once

#include <string>

namespace platform {

// Stand-ins for the socket library's start-up and clean-up: POSIX sockets need neither, so both
// succeed. SIGPIPE is ignored process-wide by startupSockets as a second guard behind
// MSG_NOSIGNAL.
bool startupSockets();
void cleanupSockets();

// Name of the user running the process: the password database first, then $USER; "" if neither.
std::string userName();

// Whether a process with this id exists (signal 0 probe; EPERM counts as existing).
bool processExists(long long pid);

// Bits of a pointer in this build (32 or 64): chooses the driver tool's folder.
int pointerBits();

// Gives the heap's free pages back to the system. The C library keeps what a finished thread's
// arena freed (an encoder's, a session's), so after a recording or a session the process would
// otherwise stay at its largest size.
void releaseFreeMemory();

// Call once at start-up, before any thread. Pictures (a 1080p frame is 3 MiB) then always get
// pages of their own that go back to the system when freed. Otherwise the C library raises its
// threshold after the first large free, and from then on keeps pictures in arenas that never
// shrink back: a one-off step of about 30 MiB after the first recording.
void settleHeap();

// Keeps every loaded module whose file name contains `fragment` in memory until the process
// ends, whatever unloads it. LeakSanitizer only scans modules still loaded at exit: memory that a
// GL driver unloaded at exit still points at would otherwise be reported as leaked.
void keepModulesLoaded(const char* fragment);

}  // namespace platform
