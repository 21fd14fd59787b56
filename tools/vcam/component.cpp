#include "component.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "blockreader.h"
#include "letterbox.h"
#include "pipewirecamera.h"
#include "platform/files.h"
#include "platform/daemon.h"
#include "platform/localsocket.h"
#include "platform/process.h"
#include "platform/videooutput.h"
#include "y4mwriter.h"

namespace vcam {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 100;
// Without a refresh for this long the program is gone or idle: show the placeholder.
constexpr auto kSilenceBeforePlaceholder = std::chrono::seconds(1);

void say(const std::string& message) {
    std::fprintf(stderr, "kivocam-vcam: %s\n", message.c_str());
    std::fflush(stderr);
}

std::string logFilePath() {
    return platform::stateFilePath("kivocam-vcam.log");
}

std::string accessAdvice(const std::string& device) {
    const std::string group = platform::fileGroupName(device);
    return device + " belongs to the group \"" + (group.empty() ? "video" : group) +
           "\"; join it with: sudo usermod -aG " + (group.empty() ? "video" : group) +
           " \"$USER\", then log in again";
}

// The output device to feed, or "" after saying why there is none.
std::string findDevice(const std::string& chosen) {
    std::string denied;
    const std::string device =
        chosen.empty() ? platform::findLoopbackDevice("/dev", &denied) : chosen;
    const int err = device.empty() ? ENODEV : platform::probeLoopbackDevice(device);
    if (err == EACCES || err == EPERM) denied = device;
    if (err == 0) return device;
    if (!denied.empty()) {
        say("no v4l2loopback output device this user may open: " + accessAdvice(denied));
        return std::string();
    }
    say("no v4l2loopback output device" + (device.empty() ? std::string() : " at " + device) +
        "; load the module with: modprobe v4l2loopback exclusive_caps=1 "
        "card_label=\"KivoCam\"");
    return std::string();
}

}  // namespace

std::string lockFilePath() {
    return platform::runtimeDir() + "/kivocam-vcam.pid";
}

int runY4m(const Options& options) {
    platform::StopSignals::install();
    Y4mWriter out;
    if (!out.open(options.y4mPath)) {
        say("cannot open " + options.y4mPath + " for writing");
        return kExitError;
    }
    BlockReader reader(camerablock::baseName());
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(options.seconds));
    long long written = 0;
    bool warned = false;
    while (!platform::StopSignals::requested()) {
        if (options.seconds > 0 && Clock::now() >= deadline) break;
        if (options.count > 0 && written >= options.count) break;
        const BlockReader::Result r = reader.next(kWaitMs);
        if (r == BlockReader::Result::Invalid && !warned) {
            say("skipping pictures of a size that does not fit the block");
            warned = true;
        }
        if (r != BlockReader::Result::Picture) continue;
        const camerablock::Header& h = reader.header();
        // Flushed at once: a pipe's buffer would otherwise hold the picture's tail until the
        // next one arrives.
        if (!out.write(tightView(reader.picture(), h.width, h.height)) || !out.flush()) {
            say("writing " + options.y4mPath + " failed");
            return kExitError;
        }
        ++written;
    }
    return out.flush() ? kExitOk : kExitError;
}

int runUnregister() {
    const std::string path = lockFilePath();
    const platform::LockOwner owner = platform::readLockOwner(path);
    if (!owner.held || owner.pid <= 0) {
        say("no camera component is running");
        return kExitOk;
    }
    // The program starts --unregister and, 5 ms later, --register: a component that started
    // after this command is the new registration and must stay.
    const long long self = platform::processStartTime(platform::currentProcessId());
    if (owner.startTime < 0 || self < 0 || owner.startTime >= self) {
        say("the running camera component is newer than this command; left running");
        return kExitOk;
    }
    // A holder that is not the process the file names is a new component that has taken the
    // lock and not yet written its name.
    if (!platform::processRunning(owner.pid, owner.startTime)) {
        say("the camera component has already stopped");
        return kExitOk;
    }
    const int err = platform::terminateProcess(owner.pid);
    if (err != 0) {
        say("cannot stop the camera component: " + platform::errorText(err));
        return kExitError;
    }
    // Waits for that process itself: the lock may already belong to its successor.
    for (int i = 0; i < 150; ++i) {
        if (!platform::processRunning(owner.pid, owner.startTime)) return kExitOk;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    say("the camera component did not stop");
    return kExitError;
}

int runRegister(const Options& options) {
    // The lock comes before the device check: with exclusive_caps=1 the device stops offering
    // its output side once a component feeds it, so a running component would look like a
    // missing device. A component that is being stopped by --unregister may need a moment.
    platform::InstanceLock lock;
    const int lockErr = lock.acquire(lockFilePath(), 3000);
    if (lockErr != 0) {
        say(lockErr == EWOULDBLOCK ? std::string("a camera component is already running")
                                   : "cannot take the lock file: " + platform::errorText(lockErr));
        return lockErr == EWOULDBLOCK ? kExitOk : kExitError;
    }
    long long pid = platform::currentProcessId();
    lock.writeOwner(pid, platform::processStartTime(pid));

    const std::string device = findDevice(options.device);
    const bool loopback = !device.empty();
    const std::string noPipeWire = platform::pipewireUnreachable();
    if (!noPipeWire.empty())
        say("no PipeWire camera: " + noPipeWire +
            (loopback ? "; it is offered once a daemon starts" : std::string()));
    if (!loopback && !noPipeWire.empty()) return kExitNoDevice;
    if (!options.foreground) {
        const int err = platform::detachToBackground(logFilePath());
        if (err != 0) {
            say("cannot go into the background: " + platform::errorText(err));
            return kExitError;
        }
        // The child keeps the lock; the file names it from now on.
        pid = platform::currentProcessId();
        lock.writeOwner(pid, platform::processStartTime(pid));
    }
    platform::StopSignals::install();

    // Both outputs where both exist: the loopback device for programs that read /dev/video*,
    // the PipeWire node for those that ask PipeWire (and for sandboxed ones).
    PipeWireCamera pipewire(say);
    if (!pipewire.start() && !loopback) return kExitError;
    platform::VideoOutputDevice out;
    int err = 0;
    if (loopback) {
        err = out.open(device);
        int keptW = 0, keptH = 0;
        if (err == 0) err = out.setFormat(options.width, options.height, &keptW, &keptH);
        if (err == EBUSY) {
            say("cannot set up the output device: " + device + " keeps its format " +
                std::to_string(keptW) + "x" + std::to_string(keptH) +
                " while a program uses it; close the programs that show the camera, then start "
                "again");
            return kExitError;
        }
        if (err == 0) err = out.streamOn();
        if (err != 0) {
            say("cannot set up the output device: " + platform::errorText(err));
            return kExitError;
        }
        say("feeding " + device);
    }

    const int w = options.width;
    const int h = options.height;
    std::vector<uint8_t> frame(camerablock::i420Size(w, h));
    std::vector<uint8_t> placeholder(frame.size());
    fillPlaceholder(placeholder.data(), w, h);

    BlockReader reader(camerablock::baseName());
    auto lastPicture = Clock::now() - kSilenceBeforePlaceholder;
    bool idle = true;
    while (!platform::StopSignals::requested()) {
        const BlockReader::Result r = reader.next(kWaitMs);
        const uint8_t* toWrite = nullptr;
        if (r == BlockReader::Result::Picture) {
            const camerablock::Header& hd = reader.header();
            const I420View picture = tightView(reader.picture(), hd.width, hd.height);
            pipewire.submitPicture(picture);
            if (loopback) letterbox(picture, frame.data(), w, h);
            toWrite = frame.data();
            lastPicture = Clock::now();
            idle = false;
        } else if (r == BlockReader::Result::Empty || r == BlockReader::Result::Invalid) {
            idle = true;
        } else if (Clock::now() - lastPicture >= kSilenceBeforePlaceholder) {
            idle = true;
        }
        if (!toWrite && idle) {
            toWrite = placeholder.data();
            pipewire.submitPlaceholder();
        }
        if (!toWrite || !loopback) continue;
        const int writeErr = out.write(toWrite, frame.size());
        // One line per run of failures, not thirty a second.
        if (writeErr != 0 && writeErr != err)
            say("writing to the output device failed: " + platform::errorText(writeErr));
        if (writeErr == ENODEV || writeErr == EIO) return kExitError;
        err = writeErr;
    }
    say("stopped");
    return kExitOk;
}

}  // namespace vcam
