#include "mirror/avlogcounter.h"

#include <QtDebug>

#include <mutex>
#include <unordered_map>

extern "C" {
#include <libavutil/log.h>
}

namespace mirror {

struct AvLogRegistry {
    std::mutex lock;
    std::unordered_map<const void*, AvLogCounter*> watched;

    static AvLogRegistry& get() {
        static AvLogRegistry* const registry = new AvLogRegistry;  // used until process exit
        return *registry;
    }

    // True when the message was counted as a repeat and must not be written.
    bool swallow(const void* context, int level, const char* format) {
        if (!context || !format || level > av_log_get_level()) return false;
        std::lock_guard<std::mutex> guard(lock);
        auto found = watched.find(context);
        if (found == watched.end()) return false;
        return found->second->counts_[format]++ > 0;
    }
};

namespace {

void logCallback(void* context, int level, const char* format, va_list args) {
    if (AvLogRegistry::get().swallow(context, level, format)) return;
    av_log_default_callback(context, level, format, args);
}

}  // namespace

AvLogCounter::AvLogCounter() {
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(logCallback); });
}

AvLogCounter::~AvLogCounter() {
    finish();
}

void AvLogCounter::watch(const void* context) {
    if (!context) return;
    AvLogRegistry& r = AvLogRegistry::get();
    std::lock_guard<std::mutex> guard(r.lock);
    r.watched[context] = this;
    contexts_.push_back(context);
}

void AvLogCounter::finish() {
    std::map<std::string, int> counts;
    {
        AvLogRegistry& r = AvLogRegistry::get();
        std::lock_guard<std::mutex> guard(r.lock);
        for (const void* c : contexts_) r.watched.erase(c);
        contexts_.clear();
        counts.swap(counts_);
    }
    for (const auto& entry : counts) {
        if (entry.second < 2) continue;
        QByteArray text = QByteArray::fromStdString(entry.first).trimmed();
        qWarning("%d packets failed: %s", entry.second, text.constData());
    }
}

}  // namespace mirror
