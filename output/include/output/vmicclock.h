// The virtual microphone's 20 ms tick: the control device gets its one block per period whatever
// the playback stream does (it may pause as it starts, or be missing altogether).
// Thread rules: start/stop and destruction on the owner's thread; the tick runs on the clock's
// own thread. The clock keeps to absolute deadlines and skips ticks it missed instead of bursting.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class VMicClock {
public:
    VMicClock() = default;
    ~VMicClock() { stop(); }
    VMicClock(const VMicClock&) = delete;
    VMicClock& operator=(const VMicClock&) = delete;

    void start(std::chrono::microseconds period, std::function<void()> tick);
    // Returns once the tick has run for the last time.
    void stop();
    bool running() const { return thread_.joinable(); }

private:
    void loop(std::chrono::microseconds period);

    std::function<void()> tick_;
    std::mutex mutex_;  // guards stopping_
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};
