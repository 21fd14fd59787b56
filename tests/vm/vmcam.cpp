// kivo-vmcam: the helper the camera's virtual-machine checks drive.
//   write              the program's writing side (ShareMemoryManager) at 30 pictures a second;
//                      commands on standard input, one a line: "landscape", "portrait" (start
//                      or switch), "stop" (stopWrite: the "no phone" header), "quit"
//   watch LOG          reads 1280x720 I420 pictures from standard input (a consumer's ffmpeg)
//                      and appends "<ms> <kind> <difference>" a picture to LOG, where kind is
//                      landscape, portrait (letterboxed), placeholder or other
//   wait LOG KIND AFTER WITHIN [COUNT]
//                      waits until LOG holds COUNT (default 1) pictures of KIND stamped at or
//                      after AFTER (ms), at most until AFTER + WITHIN; prints the first one's
//                      delay after AFTER and the number seen of every kind since AFTER
// Times are wall-clock milliseconds, as bash's $EPOCHREALTIME gives them.
#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camera_pictures.h"
#include "letterbox.h"
#include "output/camerablock.h"
#include "output/sharememorymanager.h"

namespace {

constexpr int kW = 1280;
constexpr int kH = 720;

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The pictures the writer stages; seeds fixed so the watcher can rebuild them.
I420FramePtr landscapePicture() {
    return camtest::makePicture(kW, kH, 31);
}
I420FramePtr portraitPicture() {
    return camtest::makePicture(kH, kW, 32);
}

std::vector<uint8_t> tight(const I420FramePtr& f) {
    std::vector<uint8_t> out(camerablock::i420Size(f->width(), f->height()));
    vcam::letterbox(vcam::I420View{f->dataY(), f->dataU(), f->dataV(), f->strideY(), f->strideU(),
                                   f->strideV(), f->width(), f->height()},
                    out.data(), f->width(), f->height());
    return out;
}

int runWrite(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::mutex lock;
    std::deque<std::string> commands;
    std::thread input([&] {
        std::string line;
        while (std::getline(std::cin, line)) {
            std::lock_guard<std::mutex> g(lock);
            commands.push_back(line);
        }
        std::lock_guard<std::mutex> g(lock);
        commands.push_back("quit");
    });
    input.detach();  // blocked in a read at exit; the process end takes it

    const I420FramePtr landscape = landscapePicture();
    const I420FramePtr portrait = portraitPicture();
    ShareMemoryManager m;
    m.createMemory(camerablock::kBlockSize);
    m.clearFrame();
    I420FramePtr current;
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        std::deque<std::string> todo;
        {
            std::lock_guard<std::mutex> g(lock);
            todo.swap(commands);
        }
        for (const std::string& c : todo) {
            if (c == "quit") {
                if (m.isRunning()) m.stopWrite();
                m.releaseMemory();
                std::fprintf(stderr, "%lld quit\n", nowMs());
                return 0;
            }
            if (c == "stop") {
                current.reset();
                if (m.isRunning()) m.stopWrite();
            } else if (c == "landscape" || c == "portrait") {
                current = c == "landscape" ? landscape : portrait;
                if (!m.isRunning()) m.startWrite();
            } else {
                std::fprintf(stderr, "unknown command %s\n", c.c_str());
                continue;
            }
            std::fprintf(stderr, "%lld %s\n", nowMs(), c.c_str());
        }
        if (current) m.setFrame(current);
        next += std::chrono::microseconds(33333);
        std::this_thread::sleep_until(next);
    }
}

// Mean absolute difference over a sparse grid (every 4th row and column of each plane): the
// pictures pass through unchanged, so a match is 0, and the guest has little time to spare.
double difference(const uint8_t* a, const uint8_t* b) {
    const int planes[3][3] = {
        {kW, kH, 0}, {kW / 2, kH / 2, kW * kH}, {kW / 2, kH / 2, kW * kH * 5 / 4}};
    long long sum = 0, n = 0;
    for (const auto& p : planes)
        for (int y = 0; y < p[1]; y += 4)
            for (int x = 0; x < p[0]; x += 4, ++n) {
                const size_t i = static_cast<size_t>(p[2]) + static_cast<size_t>(y) * p[0] + x;
                sum += std::abs(int(a[i]) - int(b[i]));
            }
    return static_cast<double>(sum) / n;
}

int runWatch(const std::string& logPath) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> kinds;
    kinds.emplace_back("landscape", tight(landscapePicture()));
    std::vector<uint8_t> boxed(camerablock::i420Size(kW, kH));
    const std::vector<uint8_t> portrait = tight(portraitPicture());
    vcam::letterbox(vcam::tightView(portrait.data(), kH, kW), boxed.data(), kW, kH);
    kinds.emplace_back("portrait", boxed);
    std::vector<uint8_t> placeholder(boxed.size());
    vcam::fillPlaceholder(placeholder.data(), kW, kH);
    kinds.emplace_back("placeholder", placeholder);

    std::FILE* log = std::fopen(logPath.c_str(), "a");
    if (!log) return 1;
    std::vector<uint8_t> frame(boxed.size());
    while (std::fread(frame.data(), 1, frame.size(), stdin) == frame.size()) {
        const long long t = nowMs();
        std::string best = "other";
        double bestDiff = 1e9;
        for (const auto& k : kinds) {
            const double d = difference(frame.data(), k.second.data());
            if (d < bestDiff) bestDiff = d, best = d <= 2.0 ? k.first : "other";
        }
        std::fprintf(log, "%lld %s %.2f\n", t, best.c_str(), bestDiff);
        std::fflush(log);
    }
    std::fclose(log);
    return 0;
}

int runWait(const std::string& logPath, const std::string& kind, long long after, long long within,
            int count) {
    std::map<std::string, int> seen;
    long long first = -1;
    int matching = 0;
    std::streamoff offset = 0;
    std::string partial;
    for (;;) {
        std::ifstream in(logPath);
        in.seekg(offset);
        std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        offset += static_cast<std::streamoff>(chunk.size());
        partial += chunk;
        size_t eol;
        while ((eol = partial.find('\n')) != std::string::npos) {
            std::istringstream line(partial.substr(0, eol));
            partial.erase(0, eol + 1);
            long long t = 0;
            std::string k;
            if (!(line >> t >> k) || t < after) continue;
            ++seen[k];
            if (k == kind && first < 0) first = t;
            if (k == kind) ++matching;
        }
        const bool done = matching >= count;
        if (done || nowMs() > after + within) {
            std::printf("%lld", done ? first - after : -1);
            for (const auto& s : seen) std::printf(" %s=%d", s.first.c_str(), s.second);
            std::printf("\n");
            return done ? 0 : 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "write") return runWrite(argc, argv);
    if (mode == "watch" && argc == 3) return runWatch(argv[2]);
    if (mode == "wait" && (argc == 6 || argc == 7))
        return runWait(argv[2], argv[3], std::atoll(argv[4]), std::atoll(argv[5]),
                       argc == 7 ? std::atoi(argv[6]) : 1);
    std::fprintf(stderr, "usage: kivo-vmcam write | watch LOG | wait LOG KIND AFTER WITHIN [N]\n");
    return 2;
}
