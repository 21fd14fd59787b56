// bench_vmic: how long a block waits in the virtual microphone, from its arrival in
// changePcmFmt to its bytes leaving for the control device, over a long stream clocked by the
// real audio output (a private PulseAudio server with a null sink). Runs at the phone's nominal
// pace and 1% fast. Baseline, same run: one block written straight into a pipe and read back.
// With --timer no sound server runs, so the microphone's own 20 ms clock is measured instead.
//   bench_vmic [seconds per run, default 60] [--timer]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "output/vmicmanage.h"
#include "platform/fifo.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Figures {
    double median = 0, p99 = 0, max = 0;
    size_t delivered = 0;
};

Figures summarize(std::vector<double> v) {
    Figures f;
    if (v.empty()) return f;
    std::sort(v.begin(), v.end());
    f.median = v[v.size() / 2];
    f.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    f.max = v.back();
    f.delivered = v.size();
    return f;
}

// Reads the pipe as the sound server would and stamps the first sample of every 1920-byte block.
class Reader {
public:
    explicit Reader(const std::string& path) : fd_(platform::openFifoReader(path)) {}
    bool valid() const { return fd_.valid(); }
    void start(std::vector<Clock::time_point>* out) {
        thread_ = std::thread([this, out] {
            std::vector<uint8_t> pending;
            uint8_t buf[65536];
            while (!stop_) {
                if (!platform::waitReadable(fd_.get(), 20)) continue;
                const long n = platform::readFifo(fd_.get(), buf, sizeof buf);
                if (n <= 0) continue;
                const auto now = Clock::now();
                pending.insert(pending.end(), buf, buf + n);
                size_t off = 0;
                for (; off + VMicManage::kBlockBytes <= pending.size();
                     off += VMicManage::kBlockBytes) {
                    const int id = pending[off] | (pending[off + 1] << 8);
                    if (id > 0 && static_cast<size_t>(id) < out->size() &&
                        (*out)[id] == Clock::time_point())
                        (*out)[id] = now;
                }
                pending.erase(pending.begin(), pending.begin() + off);
            }
        });
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    ~Reader() { stop(); }

private:
    platform::UniqueFd fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Figures runStream(VMicManage& mic, const std::string& link, int seconds, double speed,
                  size_t* dropped) {
    const int blocks = seconds * 50;
    std::vector<Clock::time_point> in(blocks + 1), out(blocks + 1);
    Reader reader(link);
    if (!reader.valid() || !mic.createHandle()) {
        std::fprintf(stderr, "control device cannot be opened\n");
        std::exit(1);
    }
    reader.start(&out);
    std::vector<int16_t> samples(VMicManage::kPeriodFrames);
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(20.0 / speed));
    auto next = Clock::now();
    for (int id = 1; id <= blocks; ++id) {
        std::fill(samples.begin(), samples.end(), static_cast<int16_t>(id));
        auto frame = std::make_shared<PcmFrame>(reinterpret_cast<uint8_t*>(samples.data()),
                                                VMicManage::kBlockBytes, 48000, 1, 16, nullptr);
        in[id] = Clock::now();
        mic.changePcmFmt(frame);
        next += period;
        std::this_thread::sleep_until(next);
    }
    QThread::msleep(400);
    reader.stop();
    mic.setOpen(false);
    std::vector<double> delays;
    *dropped = 0;
    for (int id = 1; id <= blocks; ++id) {
        if (out[id] == Clock::time_point())
            ++*dropped;
        else
            delays.push_back(ms(out[id] - in[id]));
    }
    return summarize(delays);
}

Figures baseline(const std::string& link, size_t* dropped) {
    Reader reader(link);
    int err = 0;
    platform::UniqueFd w = platform::openFifoWriter(link, &err);
    const int blocks = 500;
    std::vector<Clock::time_point> in(blocks + 1), out(blocks + 1);
    reader.start(&out);
    std::vector<int16_t> samples(VMicManage::kPeriodFrames);
    for (int id = 1; id <= blocks; ++id) {
        std::fill(samples.begin(), samples.end(), static_cast<int16_t>(id));
        in[id] = Clock::now();
        platform::writeFifo(w.get(), samples.data(), VMicManage::kBlockBytes);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    QThread::msleep(100);
    reader.stop();
    std::vector<double> d;
    *dropped = 0;
    for (int id = 1; id <= blocks; ++id) {
        if (out[id] == Clock::time_point())
            ++*dropped;
        else
            d.push_back(ms(out[id] - in[id]));
    }
    return summarize(d);
}

void print(const char* name, const Figures& f, size_t dropped) {
    std::printf("%-34s median %8.3f ms  p99 %8.3f ms  max %8.3f ms  delivered %6zu  dropped %5zu\n",
                name, f.median, f.p99, f.max, f.delivered, dropped);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const bool timer = argc > 2 && std::strcmp(argv[2], "--timer") == 0;
    QTemporaryDir dir(QDir::tempPath() + "/bench_vmic-XXXXXX");
    const QString root = dir.path();
    QDir().mkpath(root + "/runtime");
    qputenv("HOME", root.toUtf8());
    qputenv("PULSE_RUNTIME_PATH", (root + "/runtime").toUtf8());
    qputenv("PULSE_SERVER", ("unix:" + root + "/native").toUtf8());
    const std::string link = (root + "/KivoAudioDeviceLink").toStdString();
    qputenv("KIVOCAM_AUDIO_LINK", QByteArray::fromStdString(link));
    platform::makeFifo(link);

    QProcess pulse;
    pulse.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (!timer)
        pulse.start("pulseaudio",
                    {"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                     "--disable-shm=yes", "--log-level=error", "-L",
                     "module-native-protocol-unix auth-anonymous=1 socket=" + root + "/native",
                     "-L", "module-null-sink sink_name=BenchSink rate=48000 channels=1"});
    if (!timer && !pulse.waitForStarted(5000)) {
        std::fprintf(stderr, "pulseaudio could not be started\n");
        return 1;
    }
    QThread::msleep(1000);

    size_t dropped = 0;
    const Figures base = baseline(link, &dropped);
    std::printf("bench_vmic: %d s per run\n", seconds);
    print("baseline pipe write->read", base, dropped);
    {
        VMicManage mic;
        std::printf("clock: own 20 ms timer; speakers: %s\n",
                    mic.hasAudioStream() ? "RtAudio output stream (PulseAudio null sink)"
                                         : "none (no audio output)");
        QThread::msleep(2500);  // let the server's playback buffer settle
        const Figures nominal = runStream(mic, link, seconds, 1.0, &dropped);
        print("phone at nominal rate", nominal, dropped);
        const Figures fast = runStream(mic, link, seconds, 1.01, &dropped);
        print("phone clock 1% fast", fast, dropped);
    }
    pulse.terminate();
    pulse.waitForFinished(3000);
    return 0;
}
