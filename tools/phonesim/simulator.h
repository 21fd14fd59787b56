// One simulated phone session: find the PC, request Push or Play, stream on the media
// connection while the control channel sends heartbeats and scheduled requests, then end the
// session and print the summary.
// Thread rules: run() on the main thread; it starts and joins the media thread itself. The
// counters are atomics shared by both threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <cstdio>
#include <string>

#include "audiosource.h"
#include "controlclient.h"
#include "medialink.h"
#include "options.h"
#include "videosource.h"

namespace phonesim {

struct Summary {
    std::atomic<long> pictures{0};
    std::atomic<long> configs{0};
    std::atomic<long> audioBlocks{0};
    std::atomic<long> heartbeats{0};
    std::atomic<long> mediaConnections{0};
    std::atomic<long> badInputs{0};
    std::atomic<uint64_t> bytesSent{0};
    long replies = 0;
    bool ok = false;
};

class Simulator {
public:
    explicit Simulator(Options options);
    ~Simulator();
    // The whole session; returns the exit status (0 completed, 1 failed).
    int run();
    // "summary: pictures=... result=ok" (one line, no line feed).
    std::string summaryLine() const;
    // Ends the running session early but properly (end-of-session request included). Safe to
    // call from a signal handler.
    static void interrupt() { interrupted_ = true; }

private:
    bool findPc(std::string* error);
    bool prepareSources(std::string* error);
    bool openSession(std::string* error);
    void controlLoop();
    bool runControlAction(Action action);
    void endSession();
    void mediaThread();
    void pushStream();
    void playStream();
    bool ensureMedia(bool rightKey);
    void closeMedia();
    bool runMediaAction(Action action);
    bool sendPicture(const AccessUnit& au);
    void fail(const std::string& message);
    bool failed() const { return failed_.load(); }

    Options options_;
    std::string host_;
    int commandPort_ = 0;
    int mediaPort_ = 0;
    std::string key_;
    std::unique_ptr<VideoSource> video_;
    std::unique_ptr<AudioSource> audio_;
    ControlClient control_;
    MediaLink media_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> dumpH264_{nullptr, &std::fclose};
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> sendLog_{nullptr, &std::fclose};
    Summary summary_;
    std::atomic<bool> failed_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> mediaDone_{false};
    // Set once the PC is expected to drop us (after a deliberately broken control frame).
    std::atomic<bool> dropExpected_{false};
    static inline std::atomic<bool> interrupted_{false};
};

}  // namespace phonesim
