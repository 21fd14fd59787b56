// Virtual microphone: installs, finds and removes the audio driver through the driver tool,
// resamples every received audio block to 48 kHz mono S16 into a 200 ms FIFO, and every 20 ms
// (on a clock of its own) moves one block from the FIFO to the driver's control device and, when
// "audio.play" is set, into the speakers' queue, which the playback stream's callback empties.
// Thread rules: construction, destruction, setOpen, runAction, createHandle and the slots on the
// GUI thread; changePcmFmt on the one thread that delivers audio frames; the pull runs on the
// device clock's thread, playSpeakers on the playback stream's. fifoMutex_ guards the FIFO, its
// fill, the speakers' queue and every use of the device handle.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "mirror/pcmframe.h"
#include "output/vmicclock.h"
#include "platform/files.h"

class QProcess;
class RtAudio;
struct SwrContext;

// The playback stream's callback (RtAudio's signature; user is the VMicManage): moves one period
// of frames samples from the speakers' queue to output. Playback thread only.
int vmicAudioCallback(void* output, void* input, unsigned int frames, double streamTime,
                      unsigned int status, void* user);

class VMicManage : public QObject {
    Q_OBJECT

public:
    static constexpr int kOutputRate = 48000;
    static constexpr int kPeriodFrames = 960;              // 20 ms at 48 kHz
    static constexpr int kBlockBytes = kPeriodFrames * 2;  // 1920
    static constexpr int kFifoBytes = 10 * kBlockBytes;    // 200 ms, 19200
    // The drift correction keeps the lowest fill left after a pull (over half a second) near
    // this: enough to ride out the phone's block timing, little enough to add no delay.
    static constexpr int kTargetLowBytes = 960;  // 10 ms
    // After the FIFO ran dry a pull waits for a block and this much; the floor then sinks
    // towards the target only as far as the dead band lets it.
    static constexpr int kPrimeMarginBytes = 1920;  // 20 ms
    static constexpr int kLevelWindowFrames = kOutputRate / 2;
    // Retimed by no more than this (per mille), so the pitch change stays unheard.
    static constexpr int kMaxCorrectionPermille = 15;
    // The floor may wander this far either side of the target uncorrected.
    static constexpr int kDeadBandBytes = 1440;  // 15 ms
    // A floor this far above the target is a stall, cut at once.
    static constexpr int kStallBytes = 4800;                  // 50 ms
    static constexpr int kSpeakerSamples = kOutputRate / 10;  // 100 ms
    static constexpr int kCmdFind = 1, kCmdInstall = 2, kCmdRemove = 3, kCmdReinstall = 4;

    VMicManage();
    ~VMicManage() override;

    // Open: runs the find command; the answer comes as sig_openResult or sig_needInstallDLL.
    // Close: drops the device at once and emits sig_closeResult(true). Always true.
    bool setOpen(bool open);
    // Types 1 to 4 run that driver command (abandoning one still running); others do nothing.
    void runAction(int type);
    // Resamples one frame into the FIFO. Bytes appended, 0 when the frame was dropped.
    int changePcmFmt(const PcmFramePtr& frame);
    // Opens the control device unless it is already open.
    bool createHandle();

    // For the main window's status and for tests.
    bool isDeviceOpen() const;
    // The device's reader has stopped draining it: periods are not reaching it.
    bool isDeviceStalled() const;
    bool hasAudioStream() const { return audio_ != nullptr; }  // false: the speakers are silent
    int outputCapacity() const { return outCapacity_; }        // samples
    int fifoFill() const;
    int speakerQueued() const;  // samples waiting for the playback stream
    // Bytes the FIFO's 200 ms ceiling has thrown away since construction.
    long long droppedBytes() const;
    QString commandLine(int type) const;
    // A driver command has been started and has not finished yet.
    bool isDriverRunning() const;

signals:
    void sig_needInstallDLL();
    void sig_openResult(bool result);
    void sig_closeResult(bool result);
    void sig_installResult(bool result);
    void sig_uninstallResult(bool result);

public slots:
    // Collects the driver tool's output; it is judged once, when the tool has finished, since
    // the tool may print its answer in several writes.
    void slot_callBackOutput();
    void slot_errorOutput();

private:
    struct ProcessDeleter {
        void operator()(QProcess* p) const;
    };
    friend int vmicAudioCallback(void*, void*, unsigned int, double, unsigned int, void*);

    void openAudioStream();
    void actCommend(int type);
    void judgeDriverOutput();
    // Moves one period of frames samples from the FIFO into out and to the device (silence when
    // the FIFO holds less). 0 to continue, 1 to stop.
    int pull(int16_t* out, unsigned frames);
    // Moves one period from the speakers' queue to out (silence when short). 0 or 1 as pull.
    int playSpeakers(int16_t* out, unsigned frames);
    bool rebuildResampler(int rate, int channels);
    // Retimes the resampler's next half second so the FIFO's low level drifts to the target.
    void correctRate(int lowBytes);
    // Empties the device through drain_. fifoMutex_ held.
    void drainDevice();

    QString commands_[3];  // find, install, remove
    const std::string devicePath_;
    const bool sharedDevicePath_;  // in /tmp: only a pipe of this user with mode 0600 is used

    SwrContext* swr_ = nullptr;  // owned, freed in one place (destructor / rebuild)
    int inRate_ = 0;
    int inChannels_ = 0;
    bool compensating_ = false;  // swr_set_compensation has been called on this resampler
    int outCapacity_ = 0;
    uint8_t* outBuffer_ = nullptr;  // av_samples_alloc, owned

    std::unique_ptr<QProcess, ProcessDeleter> driver_;
    QByteArray driverOutput_;  // the running command's standard output so far
    int commandType_ = 0;
    bool openRequested_ = false;

    mutable std::recursive_mutex fifoMutex_;
    uint8_t fifo_[kFifoBytes];
    int fill_ = 0;
    platform::UniqueFd device_;
    bool pendingReported_ = false;  // "write is pending" once per stall
    bool failureReported_ = false;  // one log line per device, not one per period
    platform::UniqueFd drain_;      // a read end of the device, open only while nobody records
    bool primed_ = false;           // the FIFO held a block and the margin since it ran dry
    int windowLow_ = kFifoBytes;    // lowest fill after a pull in the current window
    bool windowTaken_ = false;      // some pull of the current window took sound
    int windowFrames_ = 0;
    int measuredLow_ = -1;  // the last full window's low, until changePcmFmt takes it
    long long dropped_ = 0;

    std::atomic<bool> running_{true};
    std::unique_ptr<RtAudio> audio_;
    int16_t speaker_[kSpeakerSamples];
    int speakerFill_ = 0;
    VMicClock deviceClock_;
};
