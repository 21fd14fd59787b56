// kivocam-vmic: the microphone component beside kivocam on PipeWire desktops (see --help).
#include <cstdio>
#include <string>

#include "component.h"

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const std::string extra = argc > 2 ? argv[2] : "";
    if (argc <= 3 && mode == "--run" && (extra.empty() || extra == "--foreground"))
        return vmic::runSource(!extra.empty());
    if (argc == 2 && mode == "--stop") return vmic::stopSource();
    if (argc == 2 && mode == "--probe") return vmic::probe();
    if (argc == 2 && (mode == "-h" || mode == "--help")) {
        std::fputs(vmic::usageText().c_str(), stdout);
        return vmic::kExitOk;
    }
    std::fprintf(stderr, "kivocam-vmic: unusable command line\n%s", vmic::usageText().c_str());
    return vmic::kExitUsage;
}
