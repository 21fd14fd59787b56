// Decoding through MirrorConnection (stream thread, parser, decoder, copy into a pool frame)
// against a bare libavcodec send/receive loop, on the same H.264 streams generated at start.
// Prints pictures per second for both and their ratio, and the latency per picture from
// queuePacket to the emitted frame next to the bare decode time per picture.
#include "kivobridge/pool.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include "h264_source.h"
#include "mirror/avhandles.h"
#include "mirror/mirrorconnection.h"
#include "mirror/screenmirrorserver.h"

namespace {

using Clock = std::chrono::steady_clock;
using h264test::EncodedStream;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Processor time of the whole process in seconds: less swayed than wall time by other programs
// on a shared machine (the bench thread sleeps while the decoding thread works).
double cpuSeconds() {
    return double(std::clock()) / CLOCKS_PER_SEC;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    return v[i];
}

// The packets as the network side would build them; the first picture carries the parameter
// sets for the bare loop, which has no merging of its own.
std::vector<AVPacket*> makePackets(const EncodedStream& s, bool configInFront) {
    std::vector<AVPacket*> packets;
    for (size_t i = 0; i < s.pictures.size(); ++i) {
        h264test::Bytes bytes;
        if (i == 0 && configInFront) bytes = s.config;
        bytes.insert(bytes.end(), s.pictures[i].begin(), s.pictures[i].end());
        packets.push_back(h264test::makePacket(bytes, false));
    }
    return packets;
}

// Bare loop: one decoder with default options. Returns the total seconds; fills the decode
// time of every picture in milliseconds.
double bareDecode(const EncodedStream& s, std::vector<double>* perPicture, int* decoded,
                  double* cpu) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    mirror::AvCodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx || avcodec_open2(ctx.get(), codec, nullptr) < 0) return -1;
    mirror::AvFramePtr frame(av_frame_alloc());
    std::vector<AVPacket*> packets = makePackets(s, true);
    *decoded = 0;
    perPicture->clear();
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    for (AVPacket* packet : packets) {
        const auto t0 = Clock::now();
        if (avcodec_send_packet(ctx.get(), packet) == 0 &&
            avcodec_receive_frame(ctx.get(), frame.get()) == 0)
            ++*decoded;
        perPicture->push_back(ms(Clock::now() - t0));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    *cpu = cpuSeconds() - cpu0;
    for (AVPacket* packet : packets) av_packet_free(&packet);
    return seconds;
}

// Filled on the decoding thread; the bench thread sleeps on the condition rather than spinning,
// so it does not take a core from the decoder.
struct Emitted {
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
    Clock::time_point last;

    void add() {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        last = now;
        ++count;
        changed.notify_all();
    }
    // The emission time of picture n (1-based), or now after a time-out.
    Clock::time_point waitFor(int n, Clock::duration timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, timeout, [&] { return count >= n; })) return Clock::now();
        return last;
    }
};

// Through MirrorConnection. Throughput (perPicture null): every packet queued at once, time
// until the last frame is emitted. Paced: one packet at a time, queuePacket to emission.
double pipelineDecode(const EncodedStream& s, std::vector<double>* perPicture, int* emitted,
                      double* cpu) {
    Emitted e;
    MirrorConnection connection(ScreenMirrorServer::framePool());
    QObject::connect(
        &connection, &MirrorConnection::sigVideoFrame, &connection, [&e](I420FramePtr) { e.add(); },
        Qt::DirectConnection);
    mirror::Stream* stream = connection.stream();
    std::vector<AVPacket*> packets = makePackets(s, false);
    const int total = int(packets.size());
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    Clock::time_point end = start;
    stream->queuePacket(h264test::makePacket(s.config, true));
    if (!perPicture) {
        for (AVPacket* packet : packets) stream->queuePacket(packet);
        end = e.waitFor(total, std::chrono::seconds(60));
    } else {
        perPicture->clear();
        for (int i = 0; i < total; ++i) {
            const auto t0 = Clock::now();
            stream->queuePacket(packets[size_t(i)]);
            end = e.waitFor(i + 1, std::chrono::seconds(5));
            perPicture->push_back(ms(end - t0));
        }
    }
    *cpu = cpuSeconds() - cpu0;
    std::lock_guard<std::mutex> lock(e.mutex);
    *emitted = e.count;
    return std::chrono::duration<double>(end - start).count();
}

// Bit rates of a phone camera stream at these sizes.
void runSize(int width, int height, int megabits, int count, int rounds) {
    std::printf(
        "\n== %dx%d, %d pictures (x264 superfast, %d Mbit/s at 30/s, no B-frames, GOP 60)\n", width,
        height, count, megabits);
    h264test::EncodeOptions options;
    options.preset = "superfast";
    options.bitRate = int64_t(megabits) * 1000000;
    options.gop = 60;
    const EncodedStream s = h264test::encodeStream(width, height, count, options);
    if (int(s.pictures.size()) != count) {
        std::printf("encoding failed (no H.264 encoder?)\n");
        std::exit(1);
    }
    size_t bytes = s.config.size();
    for (const auto& p : s.pictures) bytes += p.size();
    std::printf("stream: %zu bytes, %.1f KiB per picture\n", bytes, bytes / 1024.0 / count);

    double bestBare = 1e9, bestPipe = 1e9, cpuBare = 1e9, cpuPipe = 1e9, cpu = 0;
    int bareDecoded = 0, pipeEmitted = 0;
    std::vector<double> times, allBare, allLatency;
    for (int r = 0; r < rounds; ++r) {  // interleaved so machine noise hits both alike
        bestBare = std::min(bestBare, bareDecode(s, &times, &bareDecoded, &cpu));
        cpuBare = std::min(cpuBare, cpu);
        allBare.insert(allBare.end(), times.begin(), times.end());
        bestPipe = std::min(bestPipe, pipelineDecode(s, nullptr, &pipeEmitted, &cpu));
        cpuPipe = std::min(cpuPipe, cpu);
        int emitted = 0;
        pipelineDecode(s, &times, &emitted, &cpu);
        allLatency.insert(allLatency.end(), times.begin(), times.end());
    }
    std::printf("throughput (best of %d)        wall clock          processor time\n", rounds);
    std::printf("  bare libavcodec loop     %8.1f pictures/s  %8.1f pictures/s  (%d decoded)\n",
                count / bestBare, count / cpuBare, bareDecoded);
    std::printf("  MirrorConnection         %8.1f pictures/s  %8.1f pictures/s  (%d emitted)\n",
                count / bestPipe, count / cpuPipe, pipeEmitted);
    std::printf("  ratio                    %8.3f            %8.3f            (target >= 0.95)\n",
                bestBare / bestPipe, cpuBare / cpuPipe);
    const double bareMed = percentile(allBare, 0.5), bareP99 = percentile(allBare, 0.99);
    const double latMed = percentile(allLatency, 0.5), latP99 = percentile(allLatency, 0.99);
    std::printf("per picture over %d rounds (ms):\n", rounds);
    std::printf("  bare decode              median %7.3f   p99 %7.3f\n", bareMed, bareP99);
    std::printf("  queuePacket -> frame     median %7.3f   p99 %7.3f\n", latMed, latP99);
    std::printf("  median difference        %7.3f ms       (target <= 1 ms)\n", latMed - bareMed);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int count = 300, rounds = 5;
    if (argc > 1) count = std::max(10, std::atoi(argv[1]));
    if (argc > 2) rounds = std::max(1, std::atoi(argv[2]));
    std::printf("bench_pipeline: %d pictures, %d rounds; machine shared, figures are noisy\n",
                count, rounds);
    runSize(1280, 720, 4, count, rounds);
    runSize(1920, 1080, 8, count, rounds);
    return 0;
}
