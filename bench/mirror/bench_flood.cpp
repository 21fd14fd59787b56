// Hostile and heavy loads on one phone's pipeline:
//  1. a flood of tiny video packets over a real loopback media connection into the mirror
//     server: resident memory growth and log lines written, next to a flood of the same
//     packets as an ignored type (same network work, nothing queued);
//  2. ending a session whose decode queue is full: how long stopDecoding blocks its caller,
//     next to stopping an idle stream.
// Usage: bench_flood [tiny packets, default 400000]
#include "kivobridge/pool.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "h264_source.h"
#include "mirror/decoder.h"
#include "mirror/kivospmirrorserver.h"
#include "mirror/stream.h"
#include "mirror/streamingmediaserver.h"
#include "mirror/videobuffer.h"
#include "platform/socket.h"

#include <malloc.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Standard error goes to a file while it lives: every log line of Qt and FFmpeg ends there.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        saved_ = ::dup(2);
        file_ = std::tmpfile();
        if (file_) ::dup2(::fileno(file_), 2);
    }
    ~StderrCapture() {
        restore();
        if (file_) std::fclose(file_);
    }
    long lines() {
        restore();
        if (!file_) return -1;
        std::rewind(file_);
        long n = 0;
        for (int c; (c = std::fgetc(file_)) != EOF;) n += c == '\n';
        return n;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    int saved_ = -1;
    std::FILE* file_ = nullptr;
};

long residentKiB() {
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly)) return -1;
    const QString status = QString::fromLatin1(f.readAll());
    const QRegularExpression re("^VmRSS:\\s+(\\d+) kB", QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = re.match(status);
    return m.hasMatch() ? m.captured(1).toLong() : -1;
}

void put32(std::vector<uint8_t>* out, uint32_t v) {
    const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    out->insert(out->end(), b, b + 4);
}

// 13-byte packets (no extension, one payload byte) of the given type.
std::vector<uint8_t> tinyPackets(uint32_t type, int count) {
    std::vector<uint8_t> out;
    out.reserve(size_t(count) * 13);
    for (int i = 0; i < count; ++i) {
        put32(&out, type);
        put32(&out, 0);
        put32(&out, 1);
        out.push_back(uint8_t(i));
    }
    return out;
}

struct FloodResult {
    long peakGrowthKiB = 0;
    long logLines = 0;
    double seconds = 0;
};

FloodResult flood(uint32_t type, int count) {
    const std::string key = "{bench-key}";
    KivospMirrorServer mirror;
    mirror.onConnected("bench", "bench");
    mirror::StreamingMediaServer media(key, "bench", &mirror);
    FloodResult r;
    if (!media.start(0)) return r;
    const std::vector<uint8_t> keyPacket = [&] {
        std::vector<uint8_t> p;
        put32(&p, 0);
        put32(&p, 0);
        put32(&p, uint32_t(key.size()));
        p.insert(p.end(), key.begin(), key.end());
        return p;
    }();
    const std::vector<uint8_t> packets = tinyPackets(type, count);
    const long before = residentKiB();
    StderrCapture log;
    std::atomic<bool> sent{false};
    const auto start = Clock::now();
    std::thread phone([&] {
        platform::Socket s = platform::connectLoopback(media.boundPort());
        if (s.valid()) {
            platform::setIoTimeouts(s.get(), 100);
            const std::atomic<bool> running{true};
            const auto deadline = Clock::now() + std::chrono::seconds(120);
            platform::sendAll(s.get(), keyPacket.data(), keyPacket.size(), &running, deadline);
            platform::sendAll(s.get(), packets.data(), packets.size(), &running, deadline);
            // Until the server has read everything: a close would drop what is buffered.
            uint8_t byte;
            size_t n = 1;
            platform::recvExact(s.get(), &byte, &n, &running,
                                Clock::now() + std::chrono::seconds(2));
        }
        sent = true;
    });
    long peak = before;
    while (!sent) {
        peak = std::max(peak, residentKiB());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    phone.join();
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.peakGrowthKiB = peak - before;
    mirror.onDisconnected("bench");
    r.logLines = log.lines();
    return r;
}

struct FillResult {
    long accepted = 0;
    long growthKiB = 0;
};

// Packets of the given size into a stream whose decoder is stalled (not started), until the
// queue refuses one or limit are in.
FillResult fillStalled(size_t size, long limit) {
    FillResult r;
    const long before = residentKiB();
    {
        mirror::Stream stream;
        const h264test::Bytes payload(size, 0x41);
        while (r.accepted < limit && stream.queuePacket(h264test::makePacket(payload, false)))
            ++r.accepted;
        r.growthKiB = residentKiB() - before;
    }
    malloc_trim(0);  // so the next fill starts from the same resident size
    return r;
}

// Stops a stream holding a full queue of 720p pictures; milliseconds the caller waited.
double stopWithFullQueue(const h264test::EncodedStream& s, size_t* queuedBytes) {
    mirror::VideoBuffer buffer;
    buffer.allocateFrames(false);
    mirror::Decoder decoder(&buffer);
    mirror::Stream stream;
    stream.attachDecoder(&decoder);
    *queuedBytes = s.config.size();
    stream.queuePacket(h264test::makePacket(s.config, true));
    for (size_t i = 0;; ++i) {
        const h264test::Bytes& picture = s.pictures[i % s.pictures.size()];
        if (!stream.queuePacket(h264test::makePacket(picture, false))) break;
        *queuedBytes += picture.size();
    }
    stream.startDecoding();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // decoding under way
    const auto start = Clock::now();
    stream.stopDecoding();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double stopIdle() {
    mirror::VideoBuffer buffer;
    buffer.allocateFrames(false);
    mirror::Decoder decoder(&buffer);
    mirror::Stream stream;
    stream.attachDecoder(&decoder);
    stream.startDecoding();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    stream.stopDecoding();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("KIVOCAM_ADAPTERS", "lo0|Bench|127.0.0.2");
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 400000;

    std::printf("bench_flood: machine shared, figures are noisy\n");
    std::printf("1. %d tiny packets (13 bytes) over loopback\n", count);
    const FloodResult ignored = flood(3, count);
    const FloodResult video = flood(1, count);
    std::printf("   %-28s %8.1f s %10.1f MiB peak RSS growth %9ld log lines\n",
                "ignored type (baseline)", ignored.seconds, ignored.peakGrowthKiB / 1024.0,
                ignored.logLines);
    std::printf("   %-28s %8.1f s %10.1f MiB peak RSS growth %9ld log lines\n", "video",
                video.seconds, video.peakGrowthKiB / 1024.0, video.logLines);

    // Tiny first: the allocator keeps what the big packets freed and would hide the growth.
    const FillResult tiny = fillStalled(1, 1000000);
    const FillResult big = fillStalled(64 << 10, 1000000);
    std::printf("   into a stalled decoder's queue, until refused (at most 1000000)\n");
    std::printf("   %-28s %8ld packets %8.1f MiB RSS growth\n", "64 KiB packets (baseline)",
                big.accepted, big.growthKiB / 1024.0);
    std::printf("   %-28s %8ld packets %8.1f MiB RSS growth\n", "1-byte packets", tiny.accepted,
                tiny.growthKiB / 1024.0);

    const h264test::EncodedStream s = h264test::encodeStream(1280, 720, 30);
    if (s.pictures.empty()) {
        std::printf("2. skipped: no H.264 encoder\n");
        return 0;
    }
    const double idle = stopIdle();
    size_t queued = 0;
    const double full = stopWithFullQueue(s, &queued);
    std::printf("2. stopDecoding with a full queue (1280x720 pictures)\n");
    std::printf("   %-28s %8.1f ms\n", "idle stream (baseline)", idle);
    std::printf("   %-28s %8.1f ms  (%.1f MiB queued)\n", "full queue", full, queued / 1048576.0);
    return 0;
}
