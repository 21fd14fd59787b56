// The real kivocam-vcam program reading what ShareMemoryManager writes, and its --unregister
// and --register decisions.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <QTest>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "camera_pictures.h"
#include "component.h"
#include "letterbox.h"
#include "output/camerablock.h"
#include "output/namedsharedmemory.h"
#include "output/sharememorymanager.h"
#include "output/virtualcameraregistrar.h"
#include "platform/daemon.h"
#include "test_env.h"

namespace {

QString vcamPath() {
    return kivotest::binDir() + "/kivocam-vcam";
}

struct Y4m {
    std::string header;
    int width = 0;
    int height = 0;
    std::vector<std::vector<uint8_t>> frames;
};

// Parses a whole YUV4MPEG2 stream; a truncated or foreign frame marker fails the test.
Y4m parseY4m(const QByteArray& data) {
    Y4m y;
    const int eol = data.indexOf('\n');
    if (eol < 0) return y;
    y.header = data.left(eol).toStdString();
    if (std::sscanf(y.header.c_str(), "YUV4MPEG2 W%d H%d", &y.width, &y.height) != 2) return y;
    const size_t size = camerablock::i420Size(y.width, y.height);
    int pos = eol + 1;
    while (pos < data.size()) {
        if (data.mid(pos, 6) != "FRAME\n" || pos + 6 + static_cast<int>(size) > data.size()) {
            ADD_FAILURE() << "bad frame at byte " << pos;
            break;
        }
        const uint8_t* p = reinterpret_cast<const uint8_t*>(data.constData()) + pos + 6;
        y.frames.emplace_back(p, p + size);
        pos += 6 + static_cast<int>(size);
    }
    return y;
}

double framePsnr(const std::vector<uint8_t>& frame, const I420FramePtr& src) {
    const vcam::I420View v = vcam::tightView(frame.data(), src->width(), src->height());
    const int w = src->width(), h = src->height();
    double worst = camtest::psnr(v.y, w, src->dataY(), src->strideY(), w, h);
    worst = std::min(worst, camtest::psnr(v.u, w / 2, src->dataU(), src->strideU(), w / 2, h / 2));
    return std::min(worst, camtest::psnr(v.v, w / 2, src->dataV(), src->strideV(), w / 2, h / 2));
}

// A stand-in for a running component: bash takes the component's lock, then becomes sleep, so
// it is the same process for its whole life.
void startLockHolder(QProcess& holder) {
    const QString lockFile = QString::fromStdString(vcam::lockFilePath());
    holder.start("bash", {"-c", "exec 9>\"$0\"; flock 9; exec sleep 30", lockFile});
    EXPECT_TRUE(holder.waitForStarted());
    QElapsedTimer t;
    t.start();
    while (!platform::readLockOwner(lockFile.toStdString()).held && t.elapsed() < 10000)
        QThread::msleep(10);
}

void writeLockOwner(long long pid, long long start) {
    QFile f(QString::fromStdString(vcam::lockFilePath()));
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.write(QByteArray::number(pid) + " " + QByteArray::number(start) + "\n");
}

// Clock ticks since boot, the unit of process start times.
long long uptimeTicks() {
    QFile f("/proc/uptime");
    if (!f.open(QIODevice::ReadOnly)) return -1;
    return std::llround(f.readAll().split(' ').value(0).toDouble() * 100);
}

class VcamProcess : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = camerablock::baseName();
        NamedSharedMemory::removeObjects(base_);
    }
    void TearDown() override { NamedSharedMemory::removeObjects(base_); }

    // Runs kivocam-vcam to its end; returns the exit code (-1 when it did not end in time).
    int run(const QStringList& args, QByteArray* out = nullptr, QByteArray* err = nullptr) {
        QProcess p;
        p.start(vcamPath(), args);
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        if (out) *out = p.readAllStandardOutput();
        if (err) *err = p.readAllStandardError();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

    std::string base_;
};

// Pictures cross the process boundary intact, to a file and to standard output alike.
TEST_F(VcamProcess, LandscapeRoundTrip) {
    ShareMemoryManager m;
    m.createMemory(camerablock::kBlockSize);
    m.clearFrame();
    const I420FramePtr src = camtest::makePicture(1280, 720, 21);
    m.setFrame(src);
    m.startWrite();

    const QString file = kivotest::scratchDir() + "/land.y4m";
    ASSERT_EQ(run({"--y4m", file, "--count", "5", "--seconds", "30"}), 0);
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const Y4m y = parseY4m(f.readAll());
    EXPECT_EQ(y.header, "YUV4MPEG2 W1280 H720 F30:1 Ip A1:1 C420jpeg");
    ASSERT_EQ(y.frames.size(), 5u);
    for (const auto& frame : y.frames) EXPECT_GE(framePsnr(frame, src), 30.0);

    QByteArray out;
    ASSERT_EQ(run({"--y4m", "-", "--count", "2", "--seconds", "30"}, &out), 0);
    const Y4m piped = parseY4m(out);
    ASSERT_EQ(piped.frames.size(), 2u);
    EXPECT_GE(framePsnr(piped.frames[1], src), 30.0);
    m.stopWrite();
}

// The first picture fixes the stream size; a turn to landscape mid-stream is fitted inside the
// portrait size instead of writing a stream the header no longer describes.
TEST_F(VcamProcess, OrientationChangeIsLetterboxed) {
    ShareMemoryManager m;
    m.createMemory(camerablock::kBlockSize);
    const I420FramePtr portrait = camtest::makePicture(720, 1280, 22);
    const I420FramePtr landscape = camtest::makePicture(1280, 720, 23);
    m.setFrame(portrait);
    m.startWrite();

    const QString file = kivotest::scratchDir() + "/turn.y4m";
    QProcess p;
    p.start(vcamPath(), {"--y4m", file, "--count", "12", "--seconds", "30"});
    ASSERT_TRUE(p.waitForStarted());
    QElapsedTimer t;
    t.start();
    while (QFileInfo(file).size() < 3 * 1382406 && t.elapsed() < 20000) QThread::msleep(10);
    m.setFrame(landscape);
    ASSERT_TRUE(p.waitForFinished(30000));
    ASSERT_EQ(p.exitCode(), 0);
    m.stopWrite();

    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const Y4m y = parseY4m(f.readAll());
    ASSERT_EQ(y.width, 720);
    ASSERT_EQ(y.height, 1280);
    ASSERT_EQ(y.frames.size(), 12u);
    EXPECT_GE(framePsnr(y.frames.front(), portrait), 30.0);
    std::vector<uint8_t> expected(camerablock::i420Size(720, 1280));
    vcam::letterbox(vcam::tightView(landscape->dataY(), 1280, 720), expected.data(), 720, 1280);
    EXPECT_TRUE(y.frames.back() == expected);
}

// While no phone is connected the header is 0 x 0: nothing at all is written, not even a
// stream header with a zero size.
TEST_F(VcamProcess, EmptyHeaderWritesNothing) {
    ShareMemoryManager m;
    m.createMemory(camerablock::kBlockSize);
    m.clearFrame();
    m.startWrite();  // refreshes the zero-filled staging buffer: header 0 x 0
    const QString file = kivotest::scratchDir() + "/empty.y4m";
    ASSERT_EQ(run({"--y4m", file, "--seconds", "0.5"}), 0);
    EXPECT_EQ(QFileInfo(file).size(), 0);
    m.stopWrite();
}

// --unregister stops only the live component that predates it: not a process named by a
// leftover file whose lock nobody holds, and not a component started after it (the program
// starts --register 5 ms after --unregister).
TEST_F(VcamProcess, UnregisterStopsOnlyAnOlderLiveComponent) {
    const QString lockFile = QString::fromStdString(vcam::lockFilePath());
    QByteArray err;
    EXPECT_EQ(run({"--unregister"}, nullptr, &err), 0);
    EXPECT_TRUE(err.contains("no camera component is running"));

    QProcess bystander;
    bystander.start("sleep", {"30"});
    ASSERT_TRUE(bystander.waitForStarted());
    {
        QFile f(lockFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QByteArray::number(bystander.processId()) + " 1\n");
    }
    EXPECT_EQ(run({"--unregister"}), 0);
    EXPECT_FALSE(bystander.waitForFinished(300));
    bystander.kill();
    bystander.waitForFinished();

    QProcess newer;
    startLockHolder(newer);
    writeLockOwner(newer.processId(), 1LL << 50);
    EXPECT_EQ(run({"--unregister"}, nullptr, &err), 0);
    EXPECT_TRUE(err.contains("newer"));
    EXPECT_FALSE(newer.waitForFinished(300));
    newer.kill();
    newer.waitForFinished();

    QProcess older;
    startLockHolder(older);
    writeLockOwner(older.processId(), platform::processStartTime(older.processId()));
    EXPECT_EQ(run({"--unregister"}), 0);
    EXPECT_TRUE(older.waitForFinished(5000));
    EXPECT_FALSE(platform::readLockOwner(lockFile.toStdString()).held);
}

// A second --register while a component runs must leave it alone and say so with status 0.
// With exclusive_caps=1 the device hides its output side while fed, so a component that looked
// for the device before the lock took a running one for a missing device and exited with 3.
TEST_F(VcamProcess, SecondRegisterSaysAlreadyRunning) {
    QProcess running;
    startLockHolder(running);
    QByteArray err;
    EXPECT_EQ(run({"--register", "--device", "/dev/null"}, nullptr, &err), vcam::kExitOk);
    EXPECT_TRUE(err.contains("already running")) << err.toStdString();
    EXPECT_EQ(running.state(), QProcess::Running);
    running.kill();
    running.waitForFinished();
}

// --unregister tells truly whether the old component stopped, also when the new one (started
// 5 ms later by the program) takes the lock the moment the old one lets go.
TEST_F(VcamProcess, UnregisterSeesTheOldComponentStopWhileTheNewOneTakesOver) {
    const QString lockFile = QString::fromStdString(vcam::lockFilePath());
    QProcess older;
    startLockHolder(older);
    writeLockOwner(older.processId(), platform::processStartTime(older.processId()));
    QProcess newer;  // waits for the lock, then holds it
    newer.start("bash", {"-c", "exec 9>>\"$0\"; flock 9; exec sleep 30", lockFile});
    ASSERT_TRUE(newer.waitForStarted());
    QByteArray err;
    EXPECT_EQ(run({"--unregister"}, nullptr, &err), vcam::kExitOk) << err.toStdString();
    EXPECT_FALSE(err.contains("did not stop"));
    EXPECT_TRUE(older.waitForFinished(5000));
    EXPECT_TRUE(platform::readLockOwner(lockFile.toStdString()).held);  // the newer one has it
    EXPECT_EQ(newer.state(), QProcess::Running);
    newer.kill();
    newer.waitForFinished();
}

// A device this user may not open (/dev/video* is root:video 0660) gets advice on access, not
// the advice to load a module that is loaded.
TEST_F(VcamProcess, RegisterSaysHowToGetAccess) {
    QProcess id;
    id.start("id", {"-u"});
    ASSERT_TRUE(id.waitForFinished());
    const bool root = id.readAllStandardOutput().trimmed() == "0";
    QTemporaryDir dir(QDir::tempPath() + "/kivo-vcam-access-XXXXXX");
    ASSERT_TRUE(dir.isValid());
    const QString device = dir.path() + "/video5";
    {
        QFile f(device);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    QFile::setPermissions(device, root ? QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                       : QFileDevice::Permissions());
    const QFileDevice::Permissions open = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                          QFileDevice::WriteOther | QFileDevice::ExeOther;
    QFile::setPermissions(dir.path(), open);  // the lock file goes here too
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", dir.path());
    p.setProcessEnvironment(env);
    QStringList args{"--register", "--foreground", "--device", device};
    // As root everything opens: the check runs as the unprivileged "nobody".
    if (root)
        p.start("setpriv",
                QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", vcamPath()} + args);
    else
        p.start(vcamPath(), args);
    ASSERT_TRUE(p.waitForFinished(30000));
    const QByteArray err = p.readAllStandardError();
    EXPECT_EQ(p.exitCode(), vcam::kExitNoDevice) << err.toStdString();
    EXPECT_TRUE(err.contains("may open: " + device.toUtf8() + " belongs to the group"))
        << err.toStdString();
    EXPECT_TRUE(err.contains("usermod -aG")) << err.toStdString();
    EXPECT_FALSE(err.contains("modprobe"));
}

// Without a loopback device --register says how to get one and fails with its own status,
// instead of going into the background and feeding nothing.
TEST_F(VcamProcess, RegisterWithoutLoopbackDevice) {
    QByteArray err;
    EXPECT_EQ(run({"--register", "--device", "/dev/null"}, nullptr, &err), vcam::kExitNoDevice);
    EXPECT_TRUE(err.contains("modprobe v4l2loopback exclusive_caps=1 card_label=\"KivoCam\""));
    EXPECT_EQ(run({"--register", "--device", "/nonexistent/video3"}), vcam::kExitNoDevice);
    EXPECT_EQ(run({"--size", "7x7"}), vcam::kExitUsage);
}

// A limit that cannot become a deadline (infinite, absurdly large) is refused with a message
// instead of ending the run at once.
TEST_F(VcamProcess, RejectsUnusableLimits) {
    for (const char* v : {"inf", "1e300", "-1"}) {
        QByteArray err;
        EXPECT_EQ(run({"--y4m", "-", "--seconds", v}, nullptr, &err), vcam::kExitUsage) << v;
        EXPECT_TRUE(err.contains("--seconds needs")) << v;
    }
    EXPECT_EQ(run({"--y4m", "-", "--count", "inf"}), vcam::kExitUsage);
    EXPECT_EQ(run({"--y4m", "-", "--count", "1e300"}), vcam::kExitUsage);
}

// The program finds the component beside itself (build tree and installed tree alike) and
// really starts it: the registration's --unregister stops a component left running from before.
TEST(VcamRegistrar, StartsTheComponentBesideTheProgram) {
    EXPECT_TRUE(QFileInfo(VirtualCameraRegistrar::componentPath()).isExecutable())
        << VirtualCameraRegistrar::componentPath().toStdString();
    QProcess older;
    startLockHolder(older);
    const long long started = platform::processStartTime(older.processId());
    ASSERT_GT(started, 0);
    writeLockOwner(older.processId(), started);
    // A component that started in the same clock tick as --unregister counts as newer.
    ASSERT_TRUE(QTest::qWaitFor([&] { return uptimeTicks() > started + 1; }, 5000));
    VirtualCameraRegistrar registrar;
    registrar.registerVirtualCamera(true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return older.state() == QProcess::NotRunning; }, 10000));
}

}  // namespace
