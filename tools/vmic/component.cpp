#include "component.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "jitterbuffer.h"
#include "pipewiremic.h"
#include "platform/daemon.h"
#include "platform/fifo.h"
#include "platform/files.h"
#include "platform/localsocket.h"
#include "platform/process.h"

namespace vmic {

namespace {

void say(const std::string& message) {
    std::fprintf(stderr, "kivocam-vmic: %s\n", message.c_str());
    std::fflush(stderr);
}

std::string logFilePath() {
    return platform::stateFilePath("kivocam-vmic.log");
}

// Reads the pipe until stopped: whatever the program writes is taken at once, recorded or not,
// so the pipe never holds sound that would reach a later recorder late.
void drain(const std::string& path, JitterBuffer* buffer) {
    platform::UniqueFd fifo;
    bool saidMissing = false;
    uint8_t bytes[4096 + 1];
    size_t carry = 0;  // an odd byte left from the last read
    unsigned idleChecks = 0;
    while (!platform::StopSignals::requested()) {
        if (!fifo.valid()) {
            int err = 0;
            fifo = platform::openFifoReader(path, &err);
            if (!fifo.valid()) {
                if (err == ENOENT) {
                    say("the pipe " + path + " is gone");
                    return;
                }
                if (!saidMissing)
                    say("cannot open the pipe " + path + ": " + platform::errorText(err));
                saidMissing = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            saidMissing = false;
        }
        // Without a writer the pipe reports a hang-up at once: wait a little instead of spinning.
        if (!platform::waitReadable(fifo.get(), 20)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            // A removed pipe (its folder gone with the session) will never carry sound again.
            if (++idleChecks % 50 == 0 && !platform::exists(path)) {
                say("the pipe " + path + " is gone");
                return;
            }
            continue;
        }
        const long n = platform::readFifo(fifo.get(), bytes + carry, sizeof bytes - 1 - carry);
        if (n < 0) {
            fifo.reset();
            continue;
        }
        const size_t total = carry + static_cast<size_t>(n);
        buffer->push(reinterpret_cast<const int16_t*>(bytes), total / 2);
        carry = total & 1;
        if (carry) bytes[0] = bytes[total - 1];
    }
}

}  // namespace

std::string lockFilePath() {
    return platform::runtimeDir() + "/kivocam-vmic.pid";
}

int probe() {
    const std::string why = platform::pipewireUnreachable();
    if (why.empty()) return kExitOk;
    say(why);
    return kExitNoDaemon;
}

int runSource(bool foreground) {
    const std::string why = platform::pipewireUnreachable();
    if (!why.empty()) {
        say(why + "; on a plain PulseAudio system the driver tool uses module-pipe-source");
        return kExitNoDaemon;
    }
    if (!foreground) {
        const int err = platform::detachToBackground(logFilePath());
        if (err != 0) {
            say("cannot go into the background: " + platform::errorText(err));
            return kExitError;
        }
    }
    platform::StopSignals::install();
    platform::InstanceLock lock;
    const int lockErr = lock.acquire(lockFilePath(), 3000);
    if (lockErr != 0) {
        say(lockErr == EWOULDBLOCK ? std::string("a microphone component is already running")
                                   : "cannot take the lock file: " + platform::errorText(lockErr));
        return lockErr == EWOULDBLOCK ? kExitOk : kExitError;
    }
    const long long pid = platform::currentProcessId();
    lock.writeOwner(pid, platform::processStartTime(pid));

    JitterBuffer buffer;
    PipeWireMic mic(&buffer, say);
    if (!mic.start()) {
        say("cannot set up PipeWire");
        return kExitError;
    }
    const std::string path = platform::audioLinkPath();
    say("reading " + path);
    drain(path, &buffer);
    // What a user hears as clicks or delay, for the log.
    say("stopped; the sound ran dry " + std::to_string(buffer.underruns()) + " times, " +
        std::to_string(buffer.cutSamples() / (JitterBuffer::kRate / 1000)) +
        " ms of late sound was cut");
    return kExitOk;
}

int stopSource() {
    const std::string path = lockFilePath();
    const platform::LockOwner owner = platform::readLockOwner(path);
    if (!owner.held || owner.pid <= 0) {
        say("no microphone component is running");
        return kExitOk;
    }
    const int err = platform::terminateProcess(owner.pid);
    if (err != 0) {
        say("cannot stop the microphone component: " + platform::errorText(err));
        return kExitError;
    }
    for (int i = 0; i < 150; ++i) {
        if (!platform::readLockOwner(path).held) return kExitOk;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    say("the microphone component did not stop");
    return kExitError;
}

std::string usageText() {
    return R"(Usage: kivocam-vmic MODE
The microphone component of KivoCam on PipeWire desktops: publishes the source "KivoMic"
("Kivo Virtual Microphone", 48 kHz mono) and feeds it from the pipe KivoCam writes
($KIVOCAM_AUDIO_LINK, else $XDG_RUNTIME_DIR/KivoAudioDeviceLink). The pipe is always drained,
so a recorder that starts later hears current sound. The driver tool starts and stops it.

Modes:
  --run [--foreground]  Run (in the background unless --foreground; messages then go to
                        $XDG_STATE_HOME/KivoCam/kivocam-vmic.log). One runs at a time.
  --stop                Stop the running component.
  --probe               Exit 0 when a PipeWire daemon answers, 3 when none does.
  -h, --help            This text.

Exit status: 0 done; 1 error; 2 bad command line; 3 no PipeWire daemon.
)";
}

}  // namespace vmic
