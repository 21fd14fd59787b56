#include "output/vmicmanage.h"

#include "kivobridge/log.h"

#include <QCoreApplication>
#include <QDebug>
#include <QProcess>
#include <QStringList>

#include <RtAudio.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/settingsaccess.h"
#include "output/helperfolder.h"
#include "platform/fifo.h"
#include "platform/system.h"

namespace {

// A block longer than this is not audio from a phone; dropping it bounds the buffer growth.
constexpr int kMaxInputSeconds = 10;
constexpr int kMaxChannels = 16;
constexpr int kMaxRate = 384000;
// A removal or installation started just before the end is allowed to finish this long.
constexpr int kDriverFinishMs = 5000;

QString avErrorText(int err) {
    char text[1024] = {0};
    av_strerror(err, text, sizeof text);
    return QString::fromLocal8Bit(text);
}

}  // namespace

int vmicAudioCallback(void* output, void* /*input*/, unsigned int frames, double /*time*/,
                      unsigned int /*status*/, void* user) {
    return static_cast<VMicManage*>(user)->playSpeakers(static_cast<int16_t*>(output), frames);
}

void VMicManage::ProcessDeleter::operator()(QProcess* p) const {
    // The process may be the sender of the signal being handled right now.
    p->deleteLater();
}

VMicManage::VMicManage()
    : QObject(nullptr),
      devicePath_(platform::audioLinkPath()),
      sharedDevicePath_(platform::audioLinkIsShared()) {
    const QString dir = helperFolder();
    const QString arch =
        platform::pointerBits() == 64 ? QStringLiteral("x64") : QStringLiteral("x86");
    commands_[0] =
        QStringLiteral("\"%1/Drivers/%2/devcon\" find =media *KivoWaveExtensible").arg(dir, arch);
    commands_[1] = QStringLiteral(
                       "\"%1/Drivers/%2/devcon\" /r install "
                       "\"%1/Drivers/%2/KivoVirtualAudioDevice.inf\" *KivoWaveExtensible")
                       .arg(dir, arch);
    commands_[2] =
        QStringLiteral("\"%1/Drivers/%2/devcon\" remove *KivoWaveExtensible").arg(dir, arch);
    std::memset(fifo_, 0, sizeof fifo_);
    running_ = true;
    openAudioStream();
}

VMicManage::~VMicManage() {
    running_ = false;
    if (audio_) {
        // Abort rather than drain: whatever the server still buffers is not worth waiting for.
        try {
            if (audio_->isStreamRunning()) audio_->abortStream();
            if (audio_->isStreamOpen()) audio_->closeStream();
        } catch (const RtAudioError& e) {
            LOGW("Audio output did not close cleanly: %s", e.getMessage().c_str());
        }
        audio_.reset();
    }
    deviceClock_.stop();
    if (driver_) {
        disconnect(driver_.get(), nullptr, this, nullptr);
        if (driver_->state() != QProcess::NotRunning) driver_->waitForFinished(kDriverFinishMs);
        delete driver_.release();  // kills it if it is still running
    }
    {
        std::lock_guard<std::recursive_mutex> lock(fifoMutex_);
        drain_.reset();
        device_.reset();
    }
    av_freep(&outBuffer_);
    swr_free(&swr_);
}

void VMicManage::openAudioStream() {
    // The device keeps a clock of its own: an output stream may pause for two seconds as it
    // starts (PulseAudio does), and a device clocked by it would lose the phone's first sound.
    deviceClock_.start(std::chrono::milliseconds(20), [this] {
        int16_t block[kPeriodFrames];
        pull(block, kPeriodFrames);
    });
    std::vector<RtAudio::Api> apis{RtAudio::UNSPECIFIED};
    // The first compiled back end is the sound server's; plain ALSA may still have a device.
    apis.push_back(RtAudio::LINUX_ALSA);
    for (RtAudio::Api api : apis) {
        try {
            auto audio = std::make_unique<RtAudio>(api);
            if (api != RtAudio::UNSPECIFIED && audio->getCurrentApi() != api) continue;
            if (audio->getDeviceCount() == 0) throw RtAudioError("no audio output device found");
            RtAudio::StreamParameters params;
            params.deviceId = audio->getDefaultOutputDevice();
            params.nChannels = 1;
            params.firstChannel = 0;
            unsigned int frames = kPeriodFrames;
            // Without a buffer count the sound server is asked for its default two seconds, and
            // the callback then runs in bursts of up to 140 ms: the microphone's feed would
            // follow them. Two periods keep it to one call per 20 ms.
            RtAudio::StreamOptions options;
            options.numberOfBuffers = 2;
            audio->openStream(&params, nullptr, RTAUDIO_SINT16, kOutputRate, &frames,
                              &vmicAudioCallback, this, &options);
            audio->startStream();
            LOGI("Audio output open (%s, %u frames per period)",
                 RtAudio::getApiName(audio->getCurrentApi()).c_str(), frames);
            audio_ = std::move(audio);
            return;
        } catch (const RtAudioError& e) {
            std::printf("-------------------------\n%s\n-----------------------------\n",
                        e.getMessage().c_str());
            std::fflush(stdout);
            LOGW("Audio output unavailable: %s", e.getMessage().c_str());
        }
    }
    LOGW("No audio output: the speakers stay silent");
}

QString VMicManage::commandLine(int type) const {
    if (type < kCmdFind || type > kCmdReinstall) return QString();
    return commands_[type == kCmdReinstall ? 2 : type - 1];
}

bool VMicManage::setOpen(bool open) {
    openRequested_ = open;
    if (open) {
        actCommend(kCmdFind);
        return true;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(fifoMutex_);
        drain_.reset();
        device_.reset();
    }
    emit sig_closeResult(true);
    return true;
}

void VMicManage::runAction(int type) {
    if (type >= kCmdFind && type <= kCmdReinstall) actCommend(type);
}

void VMicManage::actCommend(int type) {
    if (driver_) {
        disconnect(driver_.get(), nullptr, this, nullptr);
        driver_->close();
        driver_.reset();
    }
    driver_.reset(new QProcess());
    connect(driver_.get(), &QProcess::readyReadStandardOutput, this,
            &VMicManage::slot_callBackOutput);
    connect(driver_.get(), &QProcess::readyReadStandardError, this, &VMicManage::slot_errorOutput);
    connect(driver_.get(), qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this] { judgeDriverOutput(); });
    connect(driver_.get(), &QProcess::errorOccurred, this, [](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) LOGE("Driver tool could not be started");
    });
    commandType_ = type;
    driverOutput_.clear();
    const QString line = commandLine(type);
    qDebug() << "act command:" << line;
    LOGE("act command:%s", line.toLocal8Bit().constData());
    QStringList args = QProcess::splitCommand(line);
    const QString program = args.takeFirst();
    driver_->start(program, args, QIODevice::ReadWrite);
}

void VMicManage::slot_callBackOutput() {
    QProcess* process = qobject_cast<QProcess*>(sender());
    if (!process || process != driver_.get()) return;
    driverOutput_ += process->readAllStandardOutput();
}

void VMicManage::judgeDriverOutput() {
    if (!driver_) return;
    driverOutput_ += driver_->readAllStandardOutput();
    const QString text = QString::fromLocal8Bit(driverOutput_);
    driverOutput_.clear();
    // A tool that said nothing (it crashed, or is not ours) gives no answer, as when it is
    // missing; a reinstall still goes on once the removal is over.
    if (text.isEmpty() && commandType_ != kCmdReinstall) return;
    switch (commandType_) {
        case kCmdFind:
            if (!text.contains(QLatin1String("No matching devices found"))) {
                emit sig_openResult(createHandle());
            } else {
                emit sig_needInstallDLL();
            }
            break;
        case kCmdInstall:
            emit sig_installResult(text.contains(QLatin1String("Drivers installed successfully")));
            break;
        case kCmdRemove:
            emit sig_uninstallResult(text.contains(QLatin1String("device(s) were removed")));
            break;
        case kCmdReinstall:
            actCommend(kCmdInstall);
            break;
        default:
            break;
    }
}

void VMicManage::slot_errorOutput() {
    QProcess* process = qobject_cast<QProcess*>(sender());
    if (!process) return;
    const QString text = QString::fromLocal8Bit(process->readAllStandardError());
    qDebug() << "error:" << text.toUtf8().constData();
}

bool VMicManage::createHandle() {
    std::lock_guard<std::recursive_mutex> lock(fifoMutex_);
    if (device_.valid()) return true;
    int error = 0;
    platform::UniqueFd fd = platform::openFifoWriter(devicePath_, &error, sharedDevicePath_);
    if (!fd.valid()) {
        if (sharedDevicePath_ && error == EPERM)
            LOGW(
                "Microphone device %s refused: without XDG_RUNTIME_DIR it must be a pipe of "
                "this user with mode 0600",
                devicePath_.c_str());
        LOGI("create [%s] Win32 error code: %d\\n", devicePath_.c_str(), error);
        return false;
    }
    device_ = std::move(fd);
    pendingReported_ = false;
    failureReported_ = false;
    LOGI("create [%s]success\\n", devicePath_.c_str());
    return true;
}

bool VMicManage::isDriverRunning() const {
    return driver_ && driver_->state() != QProcess::NotRunning;
}

bool VMicManage::isDeviceStalled() const {
    std::lock_guard<std::recursive_mutex> lock(fifoMutex_);
    return device_.valid() && pendingReported_;
}

bool VMicManage::isDeviceOpen() const {
    std::lock_guard<std::recursive_mutex> lock(fifoMutex_);
    return device_.valid();
}

int VMicManage::fifoFill() const {
    std::lock_guard<std::recursive_mutex> lock(fifoMutex_);
    return fill_;
}

bool VMicManage::rebuildResampler(int rate, int channels) {
    inRate_ = rate;
    inChannels_ = channels;
    compensating_ = false;
    swr_free(&swr_);
    AVChannelLayout outLayout;
    AVChannelLayout inLayout;
    av_channel_layout_default(&outLayout, 1);
    av_channel_layout_default(&inLayout, channels);
    int err = swr_alloc_set_opts2(&swr_, &outLayout, AV_SAMPLE_FMT_S16, kOutputRate, &inLayout,
                                  AV_SAMPLE_FMT_S16, rate, 0, nullptr);
    if (err >= 0) err = swr_init(swr_);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (err < 0) {
        LOGE("avresample_open failed! error[%s]", avErrorText(err).toLocal8Bit().constData());
        swr_free(&swr_);
        return false;
    }
    return true;
}

int VMicManage::changePcmFmt(const PcmFramePtr& frame) {
    if (!frame || !frame->data() || frame->size() <= 0) return 0;
    const int rate = frame->sampleRate();
    const int channels = frame->channels();
    if (frame->bitsPerSample() != 16 || rate <= 0 || rate > kMaxRate || channels <= 0 ||
        channels > kMaxChannels) {
        LOGW("Audio frame dropped: %d Hz, %d channels, %d bits", rate, channels,
             frame->bitsPerSample());
        return 0;
    }
    const int inSamples = frame->size() / (channels * 2);
    if (inSamples <= 0) return 0;
    if (inSamples > rate * kMaxInputSeconds) {
        LOGW("Audio frame dropped: %d samples in one block", inSamples);
        return 0;
    }
    if (!swr_ || rate != inRate_ || channels != inChannels_) {
        if (!rebuildResampler(rate, channels)) return 0;
    }
    const int64_t needed =
        av_rescale_rnd(swr_get_delay(swr_, rate) + inSamples, kOutputRate, rate, AV_ROUND_UP);
    if (needed > outCapacity_) {
        av_freep(&outBuffer_);
        outCapacity_ = 0;
        if (av_samples_alloc(&outBuffer_, nullptr, 1, static_cast<int>(needed), AV_SAMPLE_FMT_S16,
                             0) < 0) {
            LOGE("Audio frame dropped: no memory for %lld samples", static_cast<long long>(needed));
            return 0;
        }
        outCapacity_ = static_cast<int>(needed);
    }
    int low = -1;
    {
        std::lock_guard<std::recursive_mutex> lock(fifoMutex_);
        std::swap(low, measuredLow_);
        // So far above the target the queue holds sound held up by a stall (the audio clock's
        // start, a busy machine), not drift: cut it in one go rather than play it late.
        const int cut = std::min(low, fill_) - kTargetLowBytes;
        if (low > kTargetLowBytes + kStallBytes && cut > 0) {
            const int even = cut & ~1;
            std::memmove(fifo_, fifo_ + even, fill_ - even);
            fill_ -= even;
            low = kTargetLowBytes;
        }
    }
    if (low >= 0) correctRate(low);
    const uint8_t* in[1] = {frame->data()};
    const int converted = swr_convert(swr_, &outBuffer_, outCapacity_, in, inSamples);
    if (converted <= 0) {
        // Zero samples out is no error code: the message says what FFmpeg would.
        const int err = converted < 0 ? converted : AVERROR(EAGAIN);
        LOGE("swr_convert fail! error[%s]", avErrorText(err).toLocal8Bit().constData());
        return 0;
    }
    const int bytes = av_samples_get_buffer_size(nullptr, 1, converted, AV_SAMPLE_FMT_S16, 1);

    std::lock_guard<std::recursive_mutex> lock(fifoMutex_);
    if (fill_ + bytes <= kFifoBytes) {
        std::memcpy(fifo_ + fill_, outBuffer_, bytes);
        fill_ += bytes;
        return bytes;
    }
    // Overflow: the newest 200 ms stay.
    dropped_ += fill_ + bytes - kFifoBytes;
    const int keep = kFifoBytes - bytes;
    if (keep > 0) {
        std::memmove(fifo_, fifo_ + (fill_ - keep), keep);
        std::memcpy(fifo_ + keep, outBuffer_, bytes);
    } else {
        std::memcpy(fifo_, outBuffer_, kFifoBytes);
    }
    fill_ = kFifoBytes;
    return bytes;
}

int VMicManage::pull(int16_t* out, unsigned frames) {
    const size_t bytes = static_cast<size_t>(frames) * 2;
    std::lock_guard<std::recursive_mutex> lock(fifoMutex_);
    uint8_t* dst = reinterpret_cast<uint8_t*>(out);
    // After running dry, play on only with a block and the margin in hand: the phone's blocks
    // come with some jitter against this clock, and without the margin every late one would
    // leave a 20 ms hole.
    if (!primed_ && static_cast<size_t>(fill_) >= bytes + kPrimeMarginBytes) primed_ = true;
    if (!primed_ || static_cast<size_t>(fill_) < bytes) {
        std::memset(dst, 0, bytes);
        primed_ = false;
    } else {
        std::memcpy(dst, fifo_, bytes);
        std::memmove(fifo_, fifo_ + bytes, fill_ - bytes);
        fill_ -= static_cast<int>(bytes);
        // The margin left after a block is what the drift correction steers.
        windowLow_ = std::min(windowLow_, fill_);
        windowTaken_ = true;
    }
    windowFrames_ += static_cast<int>(frames);
    if (windowFrames_ >= kLevelWindowFrames) {
        // A window without sound says nothing about the phone's clock.
        measuredLow_ = windowTaken_ ? windowLow_ : -1;
        windowLow_ = kFifoBytes;
        windowFrames_ = 0;
        windowTaken_ = false;
    }
    if (device_.valid()) {
        int error = 0;
        // While nobody records, the block written last time is still waiting: take it back, so
        // the pipe only ever holds the newest one. Once someone took it, they record again.
        if (drain_.valid()) {
            uint8_t scratch[4096];
            if (platform::readFifo(drain_.get(), scratch, sizeof scratch) > 0) {
                drainDevice();
            } else {
                drain_.reset();
                pendingReported_ = false;
            }
        }
        platform::FifoWrite result = platform::writeFifo(device_.get(), dst, bytes, &error);
        if (result == platform::FifoWrite::Pending) {
            // The sound server stopped reading (nobody records): what fills the pipe now would
            // reach a later recorder as stale sound.
            if (!drain_.valid()) drain_ = platform::openFifoReader(devicePath_);
            if (drain_.valid()) {
                drainDevice();
                platform::writeFifo(device_.get(), dst, bytes, &error);
            }
        }
        switch (result) {
            case platform::FifoWrite::Written:
                if (!drain_.valid()) pendingReported_ = false;
                break;
            case platform::FifoWrite::Pending:
                // Nobody drains the device (its reader is idle): say so once per stall.
                if (!pendingReported_) {
                    std::printf("write is pending\n");
                    std::fflush(stdout);
                    pendingReported_ = true;
                }
                break;
            case platform::FifoWrite::Failed:
                if (!failureReported_) {
                    LOGW("Microphone device write failed: %s", platform::errorText(error).c_str());
                    failureReported_ = true;
                }
                break;
        }
    }
    if (kivo::settingBool("audio.play", false, true)) {
        // The speakers' queue keeps the newest 100 ms; their stream takes it at its own pace.
        const int add = static_cast<int>(frames);
        const int16_t* src = out;
        int keep = std::max(0, std::min(speakerFill_, kSpeakerSamples - add));
        std::memmove(speaker_, speaker_ + (speakerFill_ - keep), keep * sizeof *speaker_);
        const int n = std::min(add, kSpeakerSamples);
        std::memcpy(speaker_ + keep, src + (add - n), n * sizeof *speaker_);
        speakerFill_ = keep + n;
    }
    return running_ ? 0 : 1;
}

int VMicManage::playSpeakers(int16_t* out, unsigned frames) {
    std::lock_guard<std::recursive_mutex> lock(fifoMutex_);
    const int n = std::min(static_cast<int>(frames), speakerFill_);
    std::memcpy(out, speaker_, n * sizeof *speaker_);
    std::memset(out + n, 0, (frames - n) * sizeof *out);
    std::memmove(speaker_, speaker_ + n, (speakerFill_ - n) * sizeof *speaker_);
    speakerFill_ -= n;
    return running_ ? 0 : 1;
}

void VMicManage::drainDevice() {
    uint8_t scratch[4096];
    while (platform::readFifo(drain_.get(), scratch, sizeof scratch) > 0) {
    }
}

void VMicManage::correctRate(int lowBytes) {
    // Near the target the floor wanders with the audio clock's timing, not with drift: leave
    // the pitch alone there. Beyond, work off half the excess over the next window.
    const int distance = kLevelWindowFrames;
    int excess = (lowBytes - kTargetLowBytes) / 2;
    const int dead = kDeadBandBytes / 2;
    excess = excess > dead ? excess - dead : excess < -dead ? excess + dead : 0;
    const int limit = distance * kMaxCorrectionPermille / 1000;
    const int delta = std::clamp(-excess / 2, -limit, limit);
    // The first correction turns resampling on even at 48 kHz in, and with it a filter delay:
    // not before it is needed.
    if (delta == 0 && !compensating_) return;
    compensating_ = true;
    swr_set_compensation(swr_, delta, distance);
}

int VMicManage::speakerQueued() const {
    std::lock_guard<std::recursive_mutex> lock(fifoMutex_);
    return speakerFill_;
}

long long VMicManage::droppedBytes() const {
    std::lock_guard<std::recursive_mutex> lock(fifoMutex_);
    return dropped_;
}
