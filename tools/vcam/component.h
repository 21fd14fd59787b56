// The three things kivocam-vcam does, each returning the process exit status.
// Thread rules: main thread only (they install signal handlers and may fork).
#pragma once

#include <string>

#include "options.h"

namespace vcam {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoDevice = 3;

// $XDG_RUNTIME_DIR/kivocam-vcam.pid: locked by the running component, holds "pid starttime".
std::string lockFilePath();

int runY4m(const Options& options);
int runRegister(const Options& options);
int runUnregister();

}  // namespace vcam
