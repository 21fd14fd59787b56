// Whether a graphical session can be reached before the toolkit tries (and aborts).
// Thread rules: any thread.
#pragma once

#include <string>

namespace platform {

// An X display name such as ":0", ":1.0" or "unix:2": true when its local socket (the file under
// /tmp/.X11-unix or the abstract one) takes a connection. Names with a host are not checked and
// count as reachable; an empty name does not.
bool x11DisplayReachable(const std::string& display);

}  // namespace platform
