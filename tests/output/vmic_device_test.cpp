// The virtual microphone without a sound server: resampling into the FIFO, the 20 ms feed of the
// control device (a real named pipe read here), the driver tool in its pipe-only mode.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <algorithm>
#include <vector>

#include "config/settingsaccess.h"
#include "output/vmicmanage.h"
#include "platform/fifo.h"
#include "vmic_support.h"

using vmictest::makeFrame;

namespace {

// No sound server is reachable, so the microphone clocks itself; the pipe is this process's own.
void noSoundServer() {
    qputenv("PULSE_SERVER", (kivotest::scratchDir() + "/no-such-server").toUtf8());
}

// The audio server's side of the control device.
class DeviceReader {
public:
    DeviceReader() {
        platform::makeFifo(platform::audioLinkPath());
        fd_ = platform::openFifoReader(platform::audioLinkPath());
    }
    bool valid() const { return fd_.valid(); }
    // Reads until done(what was read) holds or timeoutMs have passed.
    template <typename Done>
    QByteArray readUntil(Done done, int timeoutMs = 5000) {
        QByteArray out;
        QElapsedTimer t;
        t.start();
        while (!done(out) && t.elapsed() < timeoutMs) {
            if (platform::waitReadable(fd_.get(), 10)) append(&out, 8192);
        }
        return out;
    }
    QByteArray readBytes(int n, int timeoutMs = 5000) {
        return readUntil([n](const QByteArray& b) { return b.size() >= n; }, timeoutMs);
    }
    // What the pipe holds right now.
    QByteArray drain() {
        QByteArray out;
        while (append(&out, 8192) > 0) {
        }
        return out;
    }
    bool waitHangup(int timeoutMs) { return platform::waitHangup(fd_.get(), timeoutMs); }

private:
    long append(QByteArray* out, size_t max) {
        char buf[8192];
        const long n = platform::readFifo(fd_.get(), buf, std::min(max, sizeof buf));
        if (n > 0) out->append(buf, static_cast<int>(n));
        return n;
    }

    platform::UniqueFd fd_;
};

// Samples 1, 2, 3, ... (never 0, so they stand out from the silence around them).
std::vector<int16_t> counter(int first, int count) {
    std::vector<int16_t> s(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) s[static_cast<size_t>(i)] = static_cast<int16_t>(first + i);
    return s;
}

std::vector<int16_t> nonZero(const QByteArray& bytes) {
    std::vector<int16_t> out;
    for (int16_t v : vmictest::toSamples(bytes))
        if (v != 0) out.push_back(v);
    return out;
}

// The stretch from the first to the last non-silent sample.
std::vector<int16_t> trimSilence(const QByteArray& bytes) {
    const std::vector<int16_t> s = vmictest::toSamples(bytes);
    auto first = std::find_if(s.begin(), s.end(), [](int16_t v) { return v != 0; });
    auto last = std::find_if(s.rbegin(), s.rend(), [](int16_t v) { return v != 0; }).base();
    return first < last ? std::vector<int16_t>(first, last) : std::vector<int16_t>();
}

// Whether the last non-silent sample read is last.
auto endsWith(int16_t last) {
    return [last](const QByteArray& b) {
        const std::vector<int16_t> s = nonZero(b);
        return !s.empty() && s.back() == last;
    };
}

}  // namespace

// Output sizing or conversion set-up wrong: the first 44.1 kHz stereo block of 1024 samples needs
// 1115 output samples; frames the resampler cannot take are dropped without harm.
TEST(VMicFeed, SizesOutputAndRejectsBadFrames) {
    noSoundServer();
    VMicManage mic;
    long long phase = 0;
    const int bytes =
        mic.changePcmFmt(makeFrame(vmictest::tone(440, 44100, 2, 1024, &phase), 44100, 2));
    EXPECT_EQ(mic.outputCapacity(), 1115);
    EXPECT_GT(bytes, 0);
    EXPECT_LE(bytes, 1115 * 2);
    EXPECT_EQ(bytes % 2, 0);

    EXPECT_EQ(mic.changePcmFmt(nullptr), 0);
    EXPECT_EQ(mic.changePcmFmt(makeFrame(counter(1, 100), 0, 1)), 0);
    EXPECT_EQ(mic.changePcmFmt(makeFrame(counter(1, 100), 48000, 0)), 0);
    EXPECT_EQ(mic.changePcmFmt(makeFrame(counter(1, 100), 48000, 200)), 0);
    EXPECT_EQ(mic.changePcmFmt(makeFrame(counter(1, 100), 100000000, 1)), 0);
    EXPECT_EQ(mic.changePcmFmt(makeFrame(counter(1, 1), 48000, 2)), 0);  // less than one frame
    std::vector<uint8_t> raw(64);
    EXPECT_EQ(mic.changePcmFmt(std::make_shared<PcmFrame>(raw.data(), 64, 48000, 1, 8, nullptr)),
              0);
    // Still working afterwards.
    EXPECT_EQ(mic.changePcmFmt(makeFrame(counter(1, 960), 48000, 1)), 1920);
}

// A resampler kept across a format change would read the new samples with the old rate and
// channel count: byte counts and the tone's pitch would be wrong.
TEST(VMicFeed, FormatChangeRebuildsResampler) {
    noSoundServer();
    DeviceReader reader;
    ASSERT_TRUE(reader.valid());
    VMicManage mic;
    long long phase = 0;
    EXPECT_GT(mic.changePcmFmt(makeFrame(vmictest::tone(440, 44100, 2, 1024, &phase), 44100, 2)),
              0);
    EXPECT_EQ(mic.changePcmFmt(makeFrame(counter(1, 960), 48000, 1)), 1920);
    EXPECT_EQ(mic.changePcmFmt(makeFrame(counter(1, 960 * 2), 48000, 2)), 1920);
    const int bigCapacity = mic.outputCapacity();
    EXPECT_GE(bigCapacity, 1115);
    EXPECT_EQ(mic.changePcmFmt(makeFrame(counter(1, 100), 48000, 1)), 200);
    EXPECT_EQ(mic.outputCapacity(), bigCapacity);  // grows only

    ASSERT_TRUE(mic.createHandle());
    reader.drain();
    // 200 ms of a 1 kHz tone at 16 kHz mono reach the device as a 1 kHz tone at 48 kHz.
    phase = 0;
    for (int i = 0; i < 10; ++i)
        mic.changePcmFmt(makeFrame(vmictest::tone(1000, 16000, 1, 320, &phase), 16000, 1));
    const std::vector<int16_t> got = trimSilence(
        reader.readUntil([](const QByteArray& b) { return trimSilence(b).size() > 9000; }));
    ASSERT_GT(got.size(), 9000u);
    EXPECT_NEAR(vmictest::frequency(got, 48000), 1000, 15);
}

// The overflow rule must keep the newest audio in order; a block longer than the FIFO leaves
// exactly its first 200 ms.
TEST(VMicFeed, OverflowKeepsNewestAndLongBlockKeepsItsStart) {
    noSoundServer();
    DeviceReader reader;
    ASSERT_TRUE(reader.valid());
    VMicManage mic;
    ASSERT_TRUE(mic.createHandle());
    reader.drain();

    // 12 blocks of 20 ms at once: 240 ms into a 200 ms FIFO.
    for (int b = 0; b < 12; ++b) mic.changePcmFmt(makeFrame(counter(1 + b * 960, 960), 48000, 1));
    std::vector<int16_t> got = nonZero(reader.readUntil(endsWith(11520)));
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), 11520);
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
    EXPECT_TRUE(std::adjacent_find(got.begin(), got.end()) == got.end());
    ASSERT_GE(got.size(), 9600u);
    const std::vector<int16_t> newest(got.end() - 9600, got.end());
    EXPECT_EQ(newest, counter(1921, 9600));
    EXPECT_LE(got.size(), 9600u + 2 * 960);  // at most what a tick took while feeding

    // One block of 15000 samples (30000 bytes).
    EXPECT_EQ(mic.changePcmFmt(makeFrame(counter(1, 15000), 48000, 1)), 30000);
    EXPECT_GE(mic.fifoFill(), VMicManage::kFifoBytes - VMicManage::kBlockBytes);
    got = nonZero(reader.readUntil(endsWith(9600)));
    EXPECT_EQ(got, counter(1, 9600));
    EXPECT_EQ(mic.fifoFill(), 0);
}

// With nothing received the device still gets one block of silence every 20 ms: 25 blocks in
// about half a second, neither a flood nor a trickle.
TEST(VMicDevice, SilenceEveryPeriodWithoutAudio) {
    noSoundServer();
    DeviceReader reader;
    ASSERT_TRUE(reader.valid());
    VMicManage mic;
    EXPECT_FALSE(mic.hasAudioStream());
    ASSERT_TRUE(mic.createHandle());
    reader.drain();
    QElapsedTimer t;
    t.start();
    const QByteArray got = reader.readBytes(25 * VMicManage::kBlockBytes);
    EXPECT_EQ(got.size(), 25 * VMicManage::kBlockBytes);
    EXPECT_GE(t.elapsed(), 300);
    EXPECT_EQ(got.count('\0'), got.size());
}

// The device missing, unread, or not a pipe: open fails with a log line instead of hanging or
// writing into a plain file; closing drops the device at once.
TEST(VMicDevice, OpenFailsCleanlyAndCloseDropsDevice) {
    noSoundServer();
    const std::string path = platform::audioLinkPath();
    platform::removePath(path);
    VMicManage mic;
    EXPECT_FALSE(mic.createHandle());  // nothing there

    ASSERT_EQ(platform::makeFifo(path), 0);
    EXPECT_FALSE(mic.createHandle());  // nobody reads (ENXIO)
    ASSERT_EQ(platform::removePath(path), 0);

    const QString plainPath = QString::fromStdString(path);
    {
        QFile plain(plainPath);
        ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    }
    EXPECT_FALSE(mic.createHandle());  // a plain file must not swallow the audio
    ASSERT_TRUE(QFile::rename(plainPath, plainPath + ".plain"));

    DeviceReader reader;
    ASSERT_TRUE(mic.createHandle());
    EXPECT_TRUE(mic.createHandle());  // already open
    EXPECT_TRUE(mic.isDeviceOpen());
    // Periods have gone by since the plain file was refused, and it got none of them.
    EXPECT_EQ(reader.readBytes(3 * VMicManage::kBlockBytes).size(), 3 * VMicManage::kBlockBytes);
    EXPECT_EQ(QFileInfo(plainPath + ".plain").size(), 0);
    QSignalSpy closed(&mic, &VMicManage::sig_closeResult);
    EXPECT_TRUE(mic.setOpen(false));
    ASSERT_EQ(closed.count(), 1);
    EXPECT_TRUE(closed.at(0).at(0).toBool());
    EXPECT_FALSE(mic.isDeviceOpen());
    EXPECT_TRUE(reader.waitHangup(2000));
}

// A reader that stops reading must not stall the clock or flood the output; when it reads again
// fresh blocks flow.
TEST(VMicDevice, PendingWritesNeitherBlockNorFlood) {
    noSoundServer();
    DeviceReader reader;
    VMicManage mic;
    ASSERT_TRUE(mic.createHandle());
    testing::internal::CaptureStdout();
    // About 34 periods fill the 64 KiB pipe; then ten more blocks go by while it stays full.
    ASSERT_TRUE(QTest::qWaitFor([&] { return mic.isDeviceStalled(); }, 5000));
    for (int b = 0; b < 10; ++b) mic.changePcmFmt(makeFrame(counter(1 + b * 960, 960), 48000, 1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return mic.fifoFill() == 0; }, 5000));  // the clock went on
    const std::string out = testing::internal::GetCapturedStdout();
    const size_t first = out.find("write is pending");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(out.find("write is pending", first + 1), std::string::npos);

    const QByteArray stale = reader.drain();
    EXPECT_LE(stale.size(), 65536 + VMicManage::kBlockBytes);
    const QByteArray fresh = reader.readBytes(8 * VMicManage::kBlockBytes);
    EXPECT_GE(fresh.size(), 8 * VMicManage::kBlockBytes);
    EXPECT_FALSE(mic.isDeviceStalled());
}

// The driver tool in its pipe-only mode: find, install, open, reinstall, remove, each answered by
// the right signal, and the removal started just before the manager goes still completes.
TEST(VMicDriver, CommandsReportThroughSignals) {
    noSoundServer();
    const QString link = QString::fromStdString(platform::audioLinkPath());
    QFile::remove(link);
    VMicManage mic;
    EXPECT_TRUE(
        mic.commandLine(1).endsWith("/Drivers/x64/devcon\" find =media *KivoWaveExtensible"));
    QSignalSpy needInstall(&mic, &VMicManage::sig_needInstallDLL);
    QSignalSpy opened(&mic, &VMicManage::sig_openResult);
    QSignalSpy installed(&mic, &VMicManage::sig_installResult);
    QSignalSpy removed(&mic, &VMicManage::sig_uninstallResult);

    EXPECT_TRUE(mic.setOpen(true));
    ASSERT_TRUE(needInstall.wait(5000));
    EXPECT_EQ(opened.count(), 0);

    mic.runAction(2);
    ASSERT_TRUE(installed.wait(5000));
    EXPECT_TRUE(installed.takeFirst().at(0).toBool());

    mic.setOpen(true);  // present, but nobody reads it yet
    ASSERT_TRUE(opened.wait(5000));
    EXPECT_FALSE(opened.takeFirst().at(0).toBool());
    {
        auto fd = platform::openFifoReader(link.toStdString());
        ASSERT_TRUE(fd.valid());
        mic.setOpen(true);
        ASSERT_TRUE(opened.wait(5000));
        EXPECT_TRUE(opened.takeFirst().at(0).toBool());
        EXPECT_TRUE(mic.isDeviceOpen());
        mic.setOpen(false);
    }

    mic.runAction(4);  // reinstall: removal, then installation; only the latter reports
    ASSERT_TRUE(installed.wait(5000));
    EXPECT_TRUE(installed.takeFirst().at(0).toBool());
    EXPECT_EQ(removed.count(), 0);  // the removal had finished before the installation began
    EXPECT_TRUE(QFileInfo::exists(link));

    mic.runAction(3);
    ASSERT_TRUE(removed.wait(5000));
    EXPECT_TRUE(removed.takeFirst().at(0).toBool());
    EXPECT_FALSE(QFileInfo::exists(link));
    mic.runAction(3);
    ASSERT_TRUE(removed.wait(5000));
    EXPECT_FALSE(removed.takeFirst().at(0).toBool());

    mic.runAction(0);
    mic.runAction(5);
    EXPECT_FALSE(mic.isDriverRunning());
    EXPECT_EQ(installed.count() + removed.count() + needInstall.count(), 1);

    // "--uninstall" starts the removal and destroys the manager straight away.
    ASSERT_EQ(platform::makeFifo(link.toStdString()), 0);
    {
        VMicManage shortLived;
        shortLived.runAction(3);
    }
    EXPECT_FALSE(QFileInfo::exists(link));
}

// The driver tool prints its answer in several writes; each open is answered once, not once per
// piece of output. The tool is asked to pause between its writes so they never arrive together.
TEST(VMicDriver, EachOpenAnsweredOnce) {
    noSoundServer();
    qputenv("KIVOCAM_DEVCON_PAUSE", "0.05");
    ASSERT_EQ(platform::makeFifo(platform::audioLinkPath()), 0);  // installed, nobody reads
    VMicManage mic;
    QSignalSpy opened(&mic, &VMicManage::sig_openResult);
    QSignalSpy needInstall(&mic, &VMicManage::sig_needInstallDLL);
    for (int i = 0; i < 50; ++i) {
        mic.setOpen(true);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return !mic.isDriverRunning() && opened.count() > i; }, 10000))
            << "open " << i;
    }
    EXPECT_EQ(opened.count(), 50);
    EXPECT_EQ(needInstall.count(), 0);
}

// A back end that rounds the period to 1024 frames gets 1024 samples of audio each period, not
// 960 and a tail of silence.
TEST(VMicFeed, LongerPeriodMovesWholePeriod) {
    noSoundServer();
    kivo::setSettingBool("audio.play", false);  // no silence queued before the audio
    VMicManage mic;
    mic.changePcmFmt(makeFrame(counter(1, 9600), 48000, 1));  // the FIFO full
    kivo::setSettingBool("audio.play", true);
    // The device's clock moves the audio into the speakers' queue a block at a time.
    ASSERT_TRUE(QTest::qWaitFor([&] { return mic.speakerQueued() >= 1024; }, 5000));
    std::vector<int16_t> period(1024, 0);
    ASSERT_EQ(vmicAudioCallback(period.data(), nullptr, 1024, 0, 0, &mic), 0);
    // One unbroken run, wherever the microphone's own clock left the FIFO.
    EXPECT_NE(period.front(), 0);
    for (size_t i = 1; i < period.size(); ++i)
        ASSERT_EQ(period[i], period[i - 1] + 1) << "sample " << i;
}

// Without XDG_RUNTIME_DIR the pipe lives in /tmp, where another user could have made it first to
// listen in: the driver tool and the microphone both use it only when it is this user's pipe
// with mode 0600.
TEST(VMicDevice, SharedTmpPipeMustBePrivate) {
    noSoundServer();
    qunsetenv("XDG_RUNTIME_DIR");
    qunsetenv("KIVOCAM_AUDIO_LINK");
    const std::string path = platform::audioLinkPath();
    const QString link = QString::fromStdString(path);
    ASSERT_TRUE(link.startsWith("/tmp/")) << path;
    platform::removePath(path);
    ASSERT_EQ(platform::makeFifo(path), 0);
    const auto cleanup = qScopeGuard([&] { platform::removePath(path); });
    auto reader = platform::openFifoReader(path);
    ASSERT_TRUE(reader.valid());
    VMicManage mic;
    QSignalSpy installed(&mic, &VMicManage::sig_installResult);
    const auto install = [&] {
        mic.runAction(VMicManage::kCmdInstall);
        return installed.wait(5000) && installed.takeFirst().at(0).toBool();
    };

    QFile::setPermissions(link, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ReadGroup | QFileDevice::ReadOther);
    EXPECT_FALSE(mic.createHandle());
    EXPECT_FALSE(install());

    const uint ownId = QFileInfo(link).ownerId();
    if (QProcess::execute("chown", {"65534", link}) == 0) {  // as root: another user's pipe
        QFile::setPermissions(link, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        EXPECT_FALSE(mic.createHandle());
        EXPECT_FALSE(install());
        ASSERT_EQ(QProcess::execute("chown", {QString::number(ownId), link}), 0);
    }

    QFile::setPermissions(link, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    EXPECT_TRUE(install());
    EXPECT_TRUE(mic.createHandle());
}
