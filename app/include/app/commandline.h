// What the command line asks for. Only options are looked at: other arguments are ignored, and
// single-dash options are left to the toolkit (-platform, -style, ...).
// Thread rules: any thread; no state.
#pragma once

#include <string>

namespace kivo {

struct CommandLine {
    enum class Mode { Window, Headless, Uninstall, Help, Version, Unknown };
    Mode mode = Mode::Window;
    std::string unknown;  // the option not understood (Mode::Unknown)
};

// "--uninstall" counts only as the first argument, as it always has.
CommandLine parseCommandLine(int argc, char** argv);
// The text of --help.
std::string usageText();

}  // namespace kivo
