// kivocam-phonesim: a command-line stand-in for the phone application, for tests and demos.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "options.h"
#include "simulator.h"

namespace {

void onInterrupt(int) {
    phonesim::Simulator::interrupt();
    std::signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program at once
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    av_log_set_level(AV_LOG_ERROR);
    std::vector<std::string> args(argv + 1, argv + argc);
    phonesim::Options options;
    std::string error;
    if (!phonesim::parseOptions(args, &options, &error)) {
        std::fprintf(stderr, "kivocam-phonesim: %s\nTry --help.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(phonesim::helpText().c_str(), stdout);
        return 0;
    }
    phonesim::Simulator simulator(std::move(options));
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    const int status = simulator.run();
    std::printf("%s\n", simulator.summaryLine().c_str());
    return status;
}
