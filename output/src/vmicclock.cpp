#include "output/vmicclock.h"

void VMicClock::start(std::chrono::microseconds period, std::function<void()> tick) {
    stop();
    tick_ = std::move(tick);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    thread_ = std::thread([this, period] { loop(period); });
}

void VMicClock::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void VMicClock::loop(std::chrono::microseconds period) {
    using Clock = std::chrono::steady_clock;
    auto next = Clock::now() + period;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (wake_.wait_until(lock, next, [this] { return stopping_; })) return;
        lock.unlock();
        tick_();
        lock.lock();
        next += period;
        // After a stall (suspend, debugger) start again from now rather than catch up at once.
        const auto now = Clock::now();
        if (next + 4 * period < now) next = now + period;
    }
}
