// kivocam-vcam: the camera component beside kivocam (see --help).
#include <cstdio>
#include <string>
#include <vector>

#include "component.h"
#include "options.h"

int main(int argc, char** argv) {
    const vcam::Options options =
        vcam::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!options.error.empty()) {
        std::fprintf(stderr, "kivocam-vcam: %s\n%s", options.error.c_str(),
                     vcam::usageText().c_str());
        return vcam::kExitUsage;
    }
    switch (options.mode) {
        case vcam::Options::Mode::Y4m:
            return vcam::runY4m(options);
        case vcam::Options::Mode::Register:
            return vcam::runRegister(options);
        case vcam::Options::Mode::Unregister:
            return vcam::runUnregister();
        default:
            std::fputs(vcam::usageText().c_str(), stdout);
            return vcam::kExitOk;
    }
}
