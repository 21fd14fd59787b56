#include "app/commandline.h"

#include <cstring>

namespace kivo {

CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine line;
    if (argc > 1 && std::strcmp(argv[1], "--uninstall") == 0) {
        line.mode = CommandLine::Mode::Uninstall;
        return line;
    }
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            line.mode = CommandLine::Mode::Help;
            return line;
        }
        if (std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "-v") == 0) {
            line.mode = CommandLine::Mode::Version;
            return line;
        }
        if (std::strcmp(arg, "--headless") == 0) {
            line.mode = CommandLine::Mode::Headless;
        } else if (std::strcmp(arg, "--uninstall") == 0) {
            // Only as the first argument; elsewhere ignored, as any argument once was.
        } else if (std::strncmp(arg, "--", 2) == 0 && arg[2] != '\0') {
            line.mode = CommandLine::Mode::Unknown;
            line.unknown = arg;
            return line;
        }
    }
    return line;
}

std::string usageText() {
    return "Usage: kivocam [--headless]\n"
           "Shows a phone's camera and microphone on this computer and offers them to other\n"
           "programs as a virtual camera and a virtual microphone.\n"
           "\n"
           "  --headless    run without a window (no display needed): the phone connects,\n"
           "                the virtual camera and microphone work, and the phone's screenshot\n"
           "                and recording requests save into the save folder; SIGINT or\n"
           "                SIGTERM ends it, finishing a running recording\n"
           "  --uninstall   remove the virtual microphone's driver and exit\n"
           "  -h, --help    show this help and exit\n"
           "  -v, --version show the version and exit\n"
           "\n"
           "Settings: $XDG_CONFIG_HOME/KivoCam/  Log: $XDG_STATE_HOME/KivoCam/kivocam.log\n";
}

}  // namespace kivo
