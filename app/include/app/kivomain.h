// The program's entry: brings up sockets and the bridge, handles "--uninstall", enforces one
// instance and runs the event loop. Returns the process exit code.
// Thread rules: call once, from main() on the main thread.
#pragma once

int kivoMain(int argc, char** argv);
