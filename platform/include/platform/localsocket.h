// Whether a local (Unix domain) stream socket takes connections: lets a component find out if a
// server is there before it forks or starts threads. Any thread.
#pragma once

#include <string>

namespace platform {

// Connects to path and closes again at once. 0 when a server accepted, else the errno value
// (ENOENT: no socket there; ECONNREFUSED: a socket nobody serves; ENAMETOOLONG).
int probeLocalSocket(const std::string& path);

}  // namespace platform
