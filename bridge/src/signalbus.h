// Named signals with exact or prefix ("name.*") subscriptions.
// Thread rules: any thread. Callbacks run on the emitting thread with no bus lock held, so they
// may emit, subscribe or unsubscribe. Once unsubscribe() returns, the callback is not running on
// any other thread and is never called again.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kivobridge/bridge.h"

namespace bg {

class PatternSignalBus : public SignalBus {
public:
    void emit(const char* name, const Value& value) override;
    uint64_t subscribe(const char* pattern, Callback callback) override;
    void unsubscribe(uint64_t id) override;

    // An exact name, or a prefix followed by one trailing "*".
    static bool matches(const std::string& pattern, const std::string& name);

private:
    struct Subscription {
        uint64_t id;
        std::string pattern;
        Callback callback;
        bool active = true;  // guarded by mutex_
        int running = 0;     // calls in progress, guarded by mutex_
    };

    std::mutex mutex_;
    std::condition_variable idle_;  // a call finished
    std::vector<std::shared_ptr<Subscription>> subs_;
    uint64_t nextId_ = 1;
};

}  // namespace bg
