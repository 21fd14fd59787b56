// Second process for the bridge tests. The test gives it its XDG folders through the
// environment.
//   bridge_child log <threads> <lines> <payload> <tag>: writes lines from several threads
//   bridge_child save: saves growing and shrinking settings until killed
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "kivobridge/bridge.h"
#include "kivobridge/log.h"

namespace {

void writeLines(int thread, int lines, int payload, const std::string& tag) {
    for (int i = 0; i < lines; ++i) {
        const std::string body(static_cast<size_t>(payload), static_cast<char>('a' + (i % 26)));
        LOGI("%s t%d n%d len%d %s", tag.c_str(), thread, i, payload, body.c_str());
    }
}

int runLog(int threads, int lines, int payload, const std::string& tag) {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) workers.emplace_back(writeLines, t, lines, payload, tag);
    for (auto& w : workers) w.join();
    return 0;
}

// The payload length follows the counter, so a file cut short or mixed from two saves shows.
int runSave() {
    bg::Settings* s = bg::CD->settings();
    for (long i = 0;; ++i) {
        const size_t len = static_cast<size_t>((i * 7919) % 60000);
        s->set("counter", std::to_string(i).c_str());
        s->set("payload", std::string(len, 'x').c_str());
        s->set("名字", "值 with spaces");
        if (!s->save()) return 2;
        if (i == 0) std::puts("saving"), std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    bg::InitBridge(argc, argv);
    int rc = 1;
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "log" && argc == 6)
        rc = runLog(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), argv[5]);
    else if (mode == "save")
        rc = runSave();
    bg::UninitBridge();
    return rc;
}
