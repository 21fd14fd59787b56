// Whether a local (Unix domain) stream socket takes connections: lets a component find out if a
// server is there before it forks or starts threads. Any thread.
#pragma once

#include <string>

namespace platform {

// Connects to path and closes again at once. 0 when a server accepted, else the errno value
// (ENOENT: no socket there; ECONNREFUSED: a socket nobody serves; ENAMETOOLONG).
int probeLocalSocket(const std::string& path);

// Where libpipewire looks for the daemon: $PIPEWIRE_REMOTE when it is a path, else that name (or
// "pipewire-0") in $PIPEWIRE_RUNTIME_DIR, $XDG_RUNTIME_DIR or $USERPROFILE.
std::string pipewireSocketPath();
// "" when a PipeWire daemon answers, else why not (for a log line).
std::string pipewireUnreachable();

}  // namespace platform
