// The whole road of a phone's pictures at real-time pace: the phone simulator streams a
// pre-encoded clip over loopback into an in-process SocketServer whose main thread runs the event
// loop, as in the program. Counts pictures sent, decoded (emitted on the decoding thread) and
// delivered to the main thread; measures the main thread's receive latency next to two bare
// queued hops from another thread; samples the resident set size every second.
// Starts discovery: run it inside a network namespace with only loopback, e.g.
//   scripts/in-sandbox.sh build/bin/bench_endtoend
#include <QCoreApplication>
#include <QFile>
#include <QMetaMethod>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "kivobridge/pool.h"
#include "mirror/kivospmirrorserver.h"
#include "mirror/mirrorconnection.h"
#include "mirror/socketserver.h"

// QtCore's signal spy hook (the one QtTest's signal dumper uses). The connection's sigVideoFrame
// is relayed to the mirror server by a queued connection and the connection object is private to
// the mirror server, so this hook is the only way to see the emission on the decoding thread.
struct QSignalSpyCallbackSet {
    using BeginCallback = void (*)(QObject* caller, int index, void** argv);
    using EndCallback = void (*)(QObject* caller, int index);
    BeginCallback signal_begin_callback;
    BeginCallback slot_begin_callback;
    EndCallback signal_end_callback;
    EndCallback slot_end_callback;
};
void qt_register_signal_spy_callbacks(QSignalSpyCallbackSet* callbacks);

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    return v[i];
}

struct Options {
    int width = 1920;
    int height = 1080;
    int fps = 60;
    double duration = 30;
    bool audio = true;
};

bool parseOptions(const QStringList& args, Options* o) {
    for (int i = 1; i < args.size(); ++i) {
        const QString& name = args[i];
        if (name == "--no-audio") {
            o->audio = false;
            continue;
        }
        if (i + 1 >= args.size()) return false;
        const QString value = args[++i];
        bool ok = false;
        if (name == "--size") {
            const QStringList wh = value.split('x');
            if (wh.size() != 2) return false;
            bool okH = false;
            o->width = wh[0].toInt(&ok);
            o->height = wh[1].toInt(&okH);
            ok = ok && okH && o->width >= 16 && o->height >= 16;
        } else if (name == "--fps") {
            o->fps = value.toInt(&ok);
            ok = ok && o->fps >= 1 && o->fps <= 240;
        } else if (name == "--duration") {
            o->duration = value.toDouble(&ok);
            ok = ok && o->duration > 0 && o->duration <= 3600;
        }
        if (!ok) return false;
    }
    return true;
}

// Decoding-thread emission time of every picture in flight, keyed by the frame object, which
// stays alive (held by the queued hops) until the main thread has seen it.
class PictureTracker {
public:
    // Decoding thread.
    void decoded(const I420Frame* frame) {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        ++decoded_;
        inFlight_[frame] = now;
    }
    // Main thread; returns false for a picture whose emission was not seen.
    bool received(const I420Frame* frame, double* latencyMs) {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = inFlight_.find(frame);
        if (it == inFlight_.end()) return false;
        *latencyMs = ms(now - it->second);
        inFlight_.erase(it);
        return true;
    }
    long decodedCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return decoded_;
    }

private:
    std::mutex mutex_;  // guards both fields
    long decoded_ = 0;
    std::unordered_map<const I420Frame*, Clock::time_point> inFlight_;
};

PictureTracker* g_tracker = nullptr;
int g_signalIndex = -1;  // sigVideoFrame counted among signals only
int g_methodIndex = -1;  // and among all methods; Qt versions differ in which the hook gets

void onSignalBegin(QObject* caller, int index, void** argv) {
    if (caller->metaObject() != &MirrorConnection::staticMetaObject) return;
    if (index != g_signalIndex && index != g_methodIndex) return;
    g_tracker->decoded(static_cast<I420FramePtr*>(argv[1])->get());
}

// Registers the hook for the lifetime of the object.
class DecodeSpy {
public:
    explicit DecodeSpy(PictureTracker* tracker) {
        const QMetaObject& mo = MirrorConnection::staticMetaObject;
        g_methodIndex = mo.indexOfSignal("sigVideoFrame(I420FramePtr)");
        g_signalIndex = 0;
        for (int i = 0; i < g_methodIndex; ++i)
            if (mo.method(i).methodType() == QMetaMethod::Signal) ++g_signalIndex;
        g_tracker = tracker;
        callbacks_.signal_begin_callback = &onSignalBegin;
        qt_register_signal_spy_callbacks(&callbacks_);
    }
    ~DecodeSpy() { qt_register_signal_spy_callbacks(nullptr); }
    DecodeSpy(const DecodeSpy&) = delete;
    DecodeSpy& operator=(const DecodeSpy&) = delete;

private:
    QSignalSpyCallbackSet callbacks_{};
};

// The baseline for the receive latency: from another thread, a queued call to the main thread
// that queues a second call there, the same two hops a picture takes, with no payload or work.
class BareHops {
public:
    BareHops(QObject* mainContext, int perSecond) {
        thread_ = std::thread([this, mainContext, perSecond] {
            const auto period = std::chrono::microseconds(1000000 / perSecond);
            auto next = Clock::now();
            while (!stop_) {
                const auto sent = Clock::now();
                QMetaObject::invokeMethod(
                    mainContext,
                    [this, mainContext, sent] {
                        QMetaObject::invokeMethod(
                            mainContext,
                            [this, sent] { latencies_.push_back(ms(Clock::now() - sent)); },
                            Qt::QueuedConnection);
                    },
                    Qt::QueuedConnection);
                next += period;
                std::this_thread::sleep_until(next);
            }
        });
    }
    ~BareHops() { stop(); }
    BareHops(const BareHops&) = delete;
    BareHops& operator=(const BareHops&) = delete;

    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // Main thread, after stop() and a turn of the event loop.
    const std::vector<double>& latencies() const { return latencies_; }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<double> latencies_;  // main thread only
};

QByteArray readProcFile(const char* path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// VmRSS of this process in KiB, or -1.
long residentKiB() {
    const QRegularExpression re("^VmRSS:\\s+(\\d+) kB", QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m =
        re.match(QString::fromLatin1(readProcFile("/proc/self/status")));
    return m.hasMatch() ? m.captured(1).toLong() : -1;
}

QString loadAverage() {
    const QStringList parts = QString::fromLatin1(readProcFile("/proc/loadavg")).split(' ');
    return parts.size() >= 3 ? parts.mid(0, 3).join(' ') : QString("?");
}

struct MemSample {
    double t;  // seconds since the session began
    long rssKiB;
    long poolKiB;  // held by the frame pool: buffers in use and kept for reuse
};

long rssOf(const MemSample& m) {
    return m.rssKiB;
}
long outsidePoolOf(const MemSample& m) {
    return m.rssKiB - m.poolKiB;
}

// Least-squares slope in KiB per second.
double slope(const std::vector<MemSample>& s, long (*value)(const MemSample&)) {
    if (s.size() < 2) return 0;
    double mt = 0, mk = 0;
    for (const MemSample& x : s) mt += x.t, mk += double(value(x));
    mt /= double(s.size());
    mk /= double(s.size());
    double num = 0, den = 0;
    for (const MemSample& x : s) {
        num += (x.t - mt) * (double(value(x)) - mk);
        den += (x.t - mt) * (x.t - mt);
    }
    return den > 0 ? num / den : 0;
}

long summaryField(const QString& out, const QString& name) {
    const QRegularExpression re("^summary:.*\\b" + name + "=(\\d+)",
                                QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = re.match(out);
    return m.hasMatch() ? m.captured(1).toLong() : -1;
}

}  // namespace

int main(int argc, char** argv) {
    // Discovery must only ever see loopback.
    qputenv("KIVOCAM_ADAPTERS", "lo0|Bench|127.0.0.2");
    QCoreApplication app(argc, argv);
    Options opt;
    if (!parseOptions(app.arguments(), &opt)) {
        std::fprintf(stderr,
                     "usage: bench_endtoend [--size WxH] [--fps N] [--duration S] [--no-audio]\n"
                     "defaults: 1920x1080, 60 fps, 30 s. It starts discovery: run it inside\n"
                     "a network namespace with only loopback (scripts/in-sandbox.sh).\n");
        return 2;
    }
    qRegisterMetaType<I420FramePtr>("I420FramePtr");
    qRegisterMetaType<PcmFramePtr>("PcmFramePtr");
    const QString simPath = QCoreApplication::applicationDirPath() + "/kivocam-phonesim";
    const long pictures = std::lround(opt.duration * opt.fps);
    std::printf(
        "bench_endtoend: %dx%d at %d fps for %.1f s (%ld pictures), pre-encoded, real-time "
        "pace, audio %s\n",
        opt.width, opt.height, opt.fps, opt.duration, pictures, opt.audio ? "on" : "off");
    std::printf("load average at start: %s (machine may be shared; figures are noisy)\n",
                qPrintable(loadAverage()));
    std::fflush(stdout);

    PictureTracker tracker;
    DecodeSpy spy(&tracker);
    const long rssIdle = residentKiB();

    SocketServer server;
    std::vector<double> latencies;
    long received = 0, unmatched = 0;
    std::atomic<long> audioBlocks{0};
    QObject::connect(&server, &SocketServer::sig_MirrorVideoFrame, &server,
                     [&](I420FramePtr frame) {
                         ++received;
                         double latency = 0;
                         if (tracker.received(frame.get(), &latency))
                             latencies.push_back(latency);
                         else
                             ++unmatched;
                     });
    QObject::connect(
        &server, &SocketServer::sig_MirrorAudioFrame, &server, [&](PcmFramePtr) { ++audioBlocks; },
        Qt::DirectConnection);

    Clock::time_point sessionStart{}, sessionEnd{};
    bool connected = false, disconnected = false, simDone = false;
    std::unique_ptr<BareHops> bareHops;
    std::vector<MemSample> mem;
    const auto sampleMemory = [&] {
        mem.push_back({std::chrono::duration<double>(Clock::now() - sessionStart).count(),
                       residentKiB(), long(ScreenMirrorServer::framePool()->heldBytes() / 1024)});
    };
    QTimer sampler;
    sampler.setInterval(1000);
    QObject::connect(&sampler, &QTimer::timeout, &app, sampleMemory);

    // Leaves the loop once the simulator has finished, the session has ended and the pictures
    // decoded so far have reached the main thread (or a moment has passed).
    QTimer drain;
    drain.setInterval(20);
    Clock::time_point drainStart{};
    QObject::connect(&drain, &QTimer::timeout, &app, [&] {
        if (!simDone || (connected && !disconnected)) return;
        if (drainStart == Clock::time_point{}) drainStart = Clock::now();
        if (received < tracker.decodedCount() &&
            Clock::now() - drainStart < std::chrono::seconds(5))
            return;
        app.quit();
    });

    QObject::connect(&server, &SocketServer::sig_MirrorInConnected, &server, [&] {
        if (connected) return;
        connected = true;
        sessionStart = Clock::now();
        sampleMemory();
        sampler.start();
        bareHops.reset(new BareHops(&server, opt.fps));
    });
    QObject::connect(&server, &SocketServer::sig_MirrorOutConnected, &server, [&] {
        disconnected = true;
        sessionEnd = Clock::now();
        sampler.stop();
        if (bareHops) bareHops->stop();
    });

    server.startServer();
    const quint16 port = server.mirrorServer() ? server.mirrorServer()->commandPort() : 0;
    if (port == 0) {
        std::fprintf(stderr, "the command server did not start\n");
        return 1;
    }

    QProcess sim;
    QStringList simArgs = {"--port",      QString::number(port),
                           "--size",      QString("%1x%2").arg(opt.width).arg(opt.height),
                           "--fps",       QString::number(opt.fps),
                           "--duration",  QString::number(opt.duration),
                           "--pre-encode"};
    if (!opt.audio) simArgs << "--no-audio";
    QObject::connect(&sim, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &app,
                     [&] { simDone = true; });
    QObject::connect(&sim, &QProcess::errorOccurred, &app, [&](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart) simDone = true;
    });
    std::printf("simulator: %s %s\n", qPrintable(simPath), qPrintable(simArgs.join(' ')));
    std::printf("(the simulator encodes the whole clip before it connects)\n");
    std::fflush(stdout);
    sim.start(simPath, simArgs);

    // Generous: single-threaded encoding of the clip comes first.
    const double limit = 120 + 2 * opt.duration + double(pictures) * opt.width * opt.height / 2e7;
    QTimer::singleShot(int(limit * 1000), &app, [&] {
        std::fprintf(stderr, "gave up after %.0f s\n", limit);
        app.quit();
    });
    drain.start();
    app.exec();

    if (sim.state() != QProcess::NotRunning) {
        sim.kill();
        sim.waitForFinished(5000);
    }
    const QString simOut = QString::fromUtf8(sim.readAllStandardOutput());
    const QString simErr = QString::fromUtf8(sim.readAllStandardError());
    server.stopServer();
    if (bareHops) bareHops->stop();
    QCoreApplication::processEvents();

    const long sent = summaryField(simOut, "pictures");
    const long audioSent = summaryField(simOut, "audio_blocks");
    const bool simOk = sim.exitStatus() == QProcess::NormalExit && sim.exitCode() == 0 &&
                       simOut.contains("result=ok");
    if (!simOk || sent < 0 || !connected) {
        std::fprintf(stderr, "the simulator run failed (exit %d)\n%s%s\n", sim.exitCode(),
                     qPrintable(simOut), qPrintable(simErr));
        return 1;
    }
    const long decoded = tracker.decodedCount();
    const std::vector<double> bare = bareHops ? bareHops->latencies() : std::vector<double>();

    std::printf("\n%-46s %12s %14s\n", "", "measured", "baseline");
    std::printf("%-46s %12ld %14s\n", "pictures sent (simulator summary)", sent, "-");
    std::printf("%-46s %12ld %14ld  (sent)\n", "pictures decoded (emitted, decoding thread)",
                decoded, sent);
    std::printf("%-46s %12ld %14ld  (sent)\n", "pictures received (main-thread slot)", received,
                sent);
    std::printf(
        "%-46s %12.2f %14.2f  (stream length)\n", "session length, connect to disconnect (s)",
        disconnected ? std::chrono::duration<double>(sessionEnd - sessionStart).count() : 0.0,
        opt.duration);
    if (unmatched > 0) std::printf("%-46s %12ld\n", "  of which emission not seen", unmatched);
    if (opt.audio)
        std::printf("%-46s %12ld %14ld  (sent)\n", "audio blocks received (network thread)",
                    audioBlocks.load(), audioSent);
    std::printf("%-46s %12.3f %14.3f  (two bare queued hops, %zu)\n",
                "main-thread receive latency median (ms)", percentile(latencies, 0.5),
                percentile(bare, 0.5), bare.size());
    std::printf("%-46s %12.3f %14.3f\n", "main-thread receive latency p99 (ms)",
                percentile(latencies, 0.99), percentile(bare, 0.99));
    std::printf("%-46s %12.3f %14.3f\n", "main-thread receive latency max (ms)",
                latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()),
                bare.empty() ? 0.0 : *std::max_element(bare.begin(), bare.end()));

    // The session's samples; the second half is where a leak shows as a steady climb. The frame
    // pool keeps the buffers of the most pictures ever in flight at once, so a late burst steps
    // it up by one picture buffer; that is a high-water mark, not a leak, and is judged apart.
    const double mib = 1024;
    const double span = mem.empty() ? 0 : mem.back().t;
    std::vector<MemSample> secondHalf;
    long rssMax = 0, poolMax = 0, poolMaxFirstHalf = 0;
    QString series;
    for (const MemSample& m : mem) {
        rssMax = std::max(rssMax, m.rssKiB);
        poolMax = std::max(poolMax, m.poolKiB);
        if (m.t >= span / 2)
            secondHalf.push_back(m);
        else
            poolMaxFirstHalf = std::max(poolMaxFirstHalf, m.poolKiB);
        series += QString(" %1").arg(m.rssKiB / mib, 0, 'f', 1);
    }
    const MemSample none{0, 0, 0};
    const MemSample& first = mem.empty() ? none : mem.front();
    const MemSample& last = mem.empty() ? none : mem.back();
    const double rssSlope = slope(secondHalf, rssOf);
    const double outsideSlope = slope(secondHalf, outsidePoolOf);
    const double outsideGrowthMiB = outsideSlope * (span / 2) / mib;
    const double pictureMiB = double(I420Frame::bufferSize(opt.height, opt.width, opt.width / 2,
                                                           opt.width / 2, opt.width)) /
                              (1 << 20);
    const double poolStepMiB = double(last.poolKiB - poolMaxFirstHalf) / mib;
    std::printf("%-46s %12.1f %14.1f  (before the server started)\n",
                "resident set size first (MiB)", first.rssKiB / mib, rssIdle / mib);
    std::printf("%-46s %12.1f\n", "resident set size max (MiB)", rssMax / mib);
    std::printf("%-46s %12.1f\n", "resident set size last (MiB)", last.rssKiB / mib);
    std::printf("%-46s %12.3f %14.3f  (flat)\n", "RSS slope over the second half (MiB/min)",
                rssSlope * 60 / mib, 0.0);
    std::printf("%-46s %12.3f %14.3f  (flat)\n", "  outside the frame pool (MiB/min)",
                outsideSlope * 60 / mib, 0.0);
    std::printf("%-46s %5.1f/%5.1f/%5.1f %8.1f  (one picture buffer)\n",
                "frame pool held first/max/last (MiB)", first.poolKiB / mib, poolMax / mib,
                last.poolKiB / mib, pictureMiB);
    std::printf("RSS each second (MiB):%s\n", qPrintable(series));
    std::printf("load average at end: %s\n\n", qPrintable(loadAverage()));

    // A leaked picture buffer per second would add several MiB outside a capped pool or one
    // buffer per picture inside it; allocator noise stays well under one MiB.
    const double flatLimitMiB = 2.0;
    const bool noLoss = decoded == sent;
    const bool tooShort = secondHalf.size() < 3;
    const bool flat = outsideGrowthMiB < flatLimitMiB && poolStepMiB <= pictureMiB + 0.01;
    std::printf("no picture lost before the newest-picture buffer (decoded == sent): %s\n",
                noLoss ? "yes" : "NO");
    std::printf("every decoded picture reached the main thread (received == decoded): %s\n",
                received == decoded ? "yes" : "NO");
    std::printf(
        "memory flat (second half: %.2f MiB growth outside the frame pool, limit %.1f; "
        "frame pool %+.1f MiB over its first-half high-water mark, limit one picture "
        "%.1f): %s\n",
        outsideGrowthMiB, flatLimitMiB, poolStepMiB, pictureMiB,
        tooShort ? "too short to tell"
        : flat   ? "yes"
                 : "NO");
    return noLoss && (flat || tooShort) ? 0 : 3;
}
