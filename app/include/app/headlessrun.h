// The program without a window: a core application (no display, no X server, no OpenGL), the
// single-instance guard and the hub, which runs the servers, the virtual camera and microphone,
// and the phone's screenshots and recordings. Everything the window would show goes to the log.
// Thread rules: call once, from the main thread, after the bridge is up.
#pragma once

namespace kivo {

// Runs until SIGINT or SIGTERM (exit code 0, a running recording finalised). A second headless
// start beside a running instance says so and returns 1 without disturbing it.
int runHeadless(int argc, char** argv);

}  // namespace kivo
