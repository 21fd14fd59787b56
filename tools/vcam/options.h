// Command line of kivocam-vcam. Plain parsing, no side effects.
#pragma once

#include <string>
#include <vector>

namespace vcam {

struct Options {
    enum class Mode { None, Help, Y4m, Register, Unregister };
    Mode mode = Mode::None;
    std::string y4mPath;      // --y4m FILE, "-" = standard output
    long long count = 0;      // --count N: stop after N pictures (0 = no limit), at most 1e12
    double seconds = 0;       // --seconds T: stop after T seconds (0 = no limit), at most 366 d
    std::string device;       // --device PATH: output device instead of searching /dev/video*
    bool foreground = false;  // --foreground: --register stays attached to the terminal
    int width = 1280;         // --size WxH: the output device's fixed size
    int height = 720;
    std::string error;  // set when the command line is unusable
};

Options parseOptions(const std::vector<std::string>& args);
std::string usageText();

}  // namespace vcam
