// Process-wide named values ("app_title", "app_version"). Thread rules: any thread; values_ is
// guarded by mutex_.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "kivobridge/bridge.h"

namespace bg {

class GlobalStore : public GlobalValues {
public:
    void set(const char* key, const Value& value) override {
        if (!key) return;
        std::lock_guard<std::mutex> lock(mutex_);
        values_[key] = value;
    }
    Value get(const char* key, const Value& fallback) const override {
        if (!key) return fallback;
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = values_.find(key);
        return it == values_.end() ? fallback : it->second;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, Value> values_;
};

}  // namespace bg
