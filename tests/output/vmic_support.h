// Helpers of the virtual microphone tests: tone blocks, frequency and level measurement, a
// private PulseAudio server, and parec recordings. Header only; GUI thread.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "mirror/pcmframe.h"
#include "process_support.h"
#include "test_env.h"

namespace vmictest {

// A frame owning a copy of the given bytes.
inline PcmFramePtr makeFrame(const std::vector<int16_t>& samples, int rate, int channels) {
    auto* buf = new uint8_t[samples.size() * 2];
    std::memcpy(buf, samples.data(), samples.size() * 2);
    return std::make_shared<PcmFrame>(buf, static_cast<int>(samples.size() * 2), rate, channels, 16,
                                      [buf] { delete[] buf; });
}

// Interleaved sine samples, continuing from *phaseSample.
inline std::vector<int16_t> tone(double hz, int rate, int channels, int frames,
                                 long long* phaseSample, double amplitude = 12000) {
    std::vector<int16_t> out(static_cast<size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i) {
        const double t = static_cast<double>(*phaseSample + i) / rate;
        const auto v = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * t)));
        for (int c = 0; c < channels; ++c) out[static_cast<size_t>(i) * channels + c] = v;
    }
    *phaseSample += frames;
    return out;
}

// A phone's sound as the network thread delivers it: 20 ms blocks of a 44.1 kHz 440 Hz tone on
// a thread of its own, paced by a clock running `percent` fast, silent after toneSeconds.
class PacedTone {
public:
    PacedTone(std::function<void(const PcmFramePtr&)> deliver, int channels, double percent = 0,
              double toneSeconds = 1e9)
        : thread_([this, deliver, channels, percent, toneSeconds] {
              using Clock = std::chrono::steady_clock;
              long long phase = 0;
              const auto start = Clock::now();
              const auto period = std::chrono::duration<double>(0.02 / (1 + percent / 100));
              for (long block = 0; !stop_; ++block) {
                  std::vector<int16_t> s = tone(440, 44100, channels, 882, &phase);
                  if (block * 0.02 >= toneSeconds) std::fill(s.begin(), s.end(), 0);
                  deliver(makeFrame(s, 44100, channels));
                  std::this_thread::sleep_until(
                      start + std::chrono::duration_cast<Clock::duration>(period * (block + 1)));
              }
          }) {}
    ~PacedTone() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

inline std::vector<int16_t> toSamples(const QByteArray& bytes) {
    std::vector<int16_t> s(static_cast<size_t>(bytes.size()) / 2);
    if (!s.empty()) std::memcpy(s.data(), bytes.constData(), s.size() * 2);  // data() may be null
    return s;
}

// Frequency from the median distance between rising zero crossings (interpolated between
// samples), so an occasional block of silence in the stream does not move it.
inline double frequency(const std::vector<int16_t>& s, int rate) {
    std::vector<double> crossings;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            const double a = s[i - 1], b = s[i];
            crossings.push_back(static_cast<double>(i - 1) + a / (a - b));
        }
    }
    if (crossings.size() < 3) return 0;
    std::vector<double> periods;
    for (size_t i = 1; i < crossings.size(); ++i)
        periods.push_back(crossings[i] - crossings[i - 1]);
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    return rate / periods[periods.size() / 2];
}

struct ToneMeasure {
    double seconds = 0;     // from the first to the last loud sample
    double longestGap = 0;  // the longest quiet stretch between them
    double hz = 0;
};

// A 48 kHz recording's tone: its extent, the holes inside it and its pitch.
inline ToneMeasure measureTone(const std::vector<int16_t>& s) {
    ToneMeasure m;
    long first = -1, last = -1, quietRun = 0, longest = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (std::abs(s[i]) > 500) {
            if (first < 0) first = static_cast<long>(i);
            longest = std::max(longest, quietRun);
            last = static_cast<long>(i);
            quietRun = 0;
        } else if (first >= 0) {
            ++quietRun;
        }
    }
    if (first < 0) return m;
    m.seconds = (last - first + 1) / 48000.0;
    m.longestGap = longest / 48000.0;
    m.hz = frequency(std::vector<int16_t>(s.begin() + first, s.begin() + last + 1), 48000);
    return m;
}

inline int peak(const std::vector<int16_t>& s) {
    int p = 0;
    for (int16_t v : s) p = std::max(p, std::abs(static_cast<int>(v)));
    return p;
}

// A PulseAudio server of this test process only: its sockets and state live in the scratch
// folder, the default sink is a null sink, and PULSE_SERVER points every client (RtAudio, pactl,
// parec, the driver tool) at it.
class PulseServer {
public:
    ~PulseServer() { stop(); }

    // Empty on success, else what went wrong.
    QString start() {
        const QString root = kivotest::scratchDir() + "/pulse";
        QDir().mkpath(root + "/runtime");
        QFile::setPermissions(root + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                     QFileDevice::ExeOwner);
        socket_ = root + "/native";
        qputenv("PULSE_RUNTIME_PATH", (root + "/runtime").toUtf8());
        qputenv("PULSE_STATE_PATH", (root + "/state").toUtf8());
        qputenv("PULSE_SERVER", ("unix:" + socket_).toUtf8());
        process_.setProcessChannelMode(QProcess::MergedChannels);
        // Run as root works with a warning once system mode is off and no daemonizing happens.
        process_.start("pulseaudio",
                       {"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                        "--system=no", "--disable-shm=yes", "--log-target=stderr", "-L",
                        "module-native-protocol-unix auth-anonymous=1 socket=" + socket_, "-L",
                        "module-null-sink sink_name=KivoTestSink rate=48000 channels=1", "-L",
                        "module-always-sink"});
        if (!process_.waitForStarted(5000)) return "pulseaudio could not be started";
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000) {
            if (process_.state() != QProcess::Running)
                return "pulseaudio exited: " + QString::fromLocal8Bit(process_.readAll());
            if (run("pactl", {"info"}).exitCode == 0) return QString();
            QThread::msleep(100);
        }
        return "pulseaudio did not answer: " + QString::fromLocal8Bit(process_.readAll());
    }

    void stop() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.terminate();
        if (!process_.waitForFinished(3000)) {
            process_.kill();
            process_.waitForFinished(3000);
        }
    }

    struct Result {
        int exitCode = -1;
        QString out;
    };
    static Result run(const QString& program, const QStringList& args, int timeoutMs = 5000) {
        const proctest::Result r = proctest::run(program, args, timeoutMs);
        return {r.exitCode, QString::fromLocal8Bit(r.out)};
    }

    static QString sources() { return run("pactl", {"list", "short", "sources"}).out; }

private:
    QString socket_;
    QProcess process_;
};

// Records 48 kHz mono S16 from a source with parec.
class Recording {
public:
    explicit Recording(const QString& device) {
        p_.start("parec", {"-d", device, "--format=s16le", "--rate=48000", "--channels=1", "--raw",
                           "--latency-msec=20"});
        p_.waitForStarted(3000);
    }
    ~Recording() { finish(); }
    // Waits for the first data (the recording stream takes a moment to start), then drops the
    // next samples samples. False when nothing arrived within timeoutMs.
    bool settle(int samples, int timeoutMs = 5000) {
        QElapsedTimer t;
        t.start();
        while (p_.bytesAvailable() == 0 && t.elapsed() < timeoutMs) p_.waitForReadyRead(20);
        if (p_.bytesAvailable() == 0) return false;
        collect(samples);
        return true;
    }
    // The next samples samples, or fewer when they do not come within timeoutMs.
    std::vector<int16_t> collect(int samples, int timeoutMs = 10000) {
        const int bytes = samples * 2;
        QElapsedTimer t;
        t.start();
        while (pending_.size() < bytes && t.elapsed() < timeoutMs) {
            p_.waitForReadyRead(20);
            pending_ += p_.readAllStandardOutput();
        }
        const QByteArray out = pending_.left(bytes);
        pending_.remove(0, out.size());
        return toSamples(out.left(out.size() & ~1));
    }
    void finish() {
        if (p_.state() == QProcess::NotRunning) return;
        p_.terminate();
        if (!p_.waitForFinished(2000)) {
            p_.kill();
            p_.waitForFinished(2000);
        }
    }

private:
    QProcess p_;
    QByteArray pending_;  // read but not yet handed out
};

}  // namespace vmictest

#define START_PULSE_OR_BAIL(server) START_SERVER_OR_BAIL(server, "PulseAudio")
