// Starting other programs without waiting for them. Any thread.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Starts argv[0] (looked up in PATH) with the given arguments, detached: it runs in its own
// session with its standard streams on /dev/null and is handed to init, so it never becomes a
// zombie of this process and the caller never waits for it to finish. Returns once the program
// has been executed: 0, or the errno value of the failed start (ENOENT when it is not found).
int spawnDetached(const std::vector<std::string>& argv);

// Id of this process.
long long currentProcessId();

}  // namespace platform
