// What kivocam-vmic does, each returning the process exit status. Thread rules: main thread only
// (they install signal handlers and may fork).
#pragma once

#include <string>

namespace vmic {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoDaemon = 3;

// $XDG_RUNTIME_DIR/kivocam-vmic.pid: locked by the running component, holds "pid starttime".
std::string lockFilePath();

// Publishes the source and drains the pipe until stopped; in the background unless foreground.
int runSource(bool foreground);
// Stops the running component and waits until it has gone.
int stopSource();
// 0 when a PipeWire daemon answers, kExitNoDaemon when none does.
int probe();
std::string usageText();

}  // namespace vmic
