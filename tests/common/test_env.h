// Per-process test environment, set up by the shared test main before any test runs.
#pragma once

#include <QString>

namespace kivotest {

// Temporary folder private to this test process (HOME and the XDG folders live below it).
QString scratchDir();
// <build>/bin, where the program and its helper programs are built.
QString binDir();
// A loopback TCP port that was free a moment ago.
int freeTcpPort();

}  // namespace kivotest
