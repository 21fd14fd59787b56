// Starting other programs without waiting for them. Any thread.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Starts argv[0] (looked up in PATH) with the given arguments, detached: it runs in its own
// session with its standard streams on /dev/null and is handed to init, so it never becomes a
// zombie of this process and the caller never waits for it to finish. This process's memory is
// never copied (no fork), so the running threads do not slow down. Returns once the program has
// been found and started: 0, or the errno value of the failed start (ENOENT when it is not found,
// EACCES when it cannot be executed).
int spawnDetached(const std::vector<std::string>& argv);

// Id of this process.
long long currentProcessId();

}  // namespace platform
