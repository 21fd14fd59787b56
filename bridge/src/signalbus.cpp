#include "signalbus.h"

#include <algorithm>
#include <exception>

#include "kivobridge/log.h"

namespace bg {

namespace {

// Subscriptions whose callback is running on this thread (nested emits included).
thread_local std::vector<const void*> tRunning;

}  // namespace

bool PatternSignalBus::matches(const std::string& pattern, const std::string& name) {
    if (!pattern.empty() && pattern.back() == '*')
        return name.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    return pattern == name;
}

void PatternSignalBus::emit(const char* name, const Value& value) {
    const std::string signal = name ? name : "";
    std::vector<std::shared_ptr<Subscription>> targets;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& sub : subs_)
            if (matches(sub->pattern, signal)) targets.push_back(sub);
    }
    for (const auto& sub : targets) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!sub->active) continue;
            ++sub->running;
        }
        tRunning.push_back(sub.get());
        try {
            if (sub->callback) sub->callback(signal, value);
        } catch (const std::exception& e) {
            LOGE("Signal %s handler failed: %s", signal.c_str(), e.what());
        } catch (...) {
            LOGE("Signal %s handler failed", signal.c_str());
        }
        tRunning.pop_back();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --sub->running;
        }
        idle_.notify_all();
    }
}

uint64_t PatternSignalBus::subscribe(const char* pattern, Callback callback) {
    auto sub = std::make_shared<Subscription>();
    sub->pattern = pattern ? pattern : "";
    sub->callback = std::move(callback);
    std::lock_guard<std::mutex> lock(mutex_);
    sub->id = nextId_++;
    subs_.push_back(sub);
    return sub->id;
}

void PatternSignalBus::unsubscribe(uint64_t id) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto it =
        std::find_if(subs_.begin(), subs_.end(), [id](const auto& s) { return s->id == id; });
    if (it == subs_.end()) return;
    std::shared_ptr<Subscription> sub = *it;
    subs_.erase(it);
    sub->active = false;
    // Calls of this subscription further up this thread's own stack cannot be waited for.
    const int own = static_cast<int>(std::count(tRunning.begin(), tRunning.end(), sub.get()));
    idle_.wait(lock, [&] { return sub->running <= own; });
}

}  // namespace bg
