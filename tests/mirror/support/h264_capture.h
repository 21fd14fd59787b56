// Test helpers that watch the decoding pipeline from outside: a thread-safe collector of emitted
// pictures and a capture of the toolkit's log messages. Any thread.
#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "mirror/videoframe.h"

namespace h264test {

class FrameCollector {
public:
    void add(const I420FramePtr& frame);
    // Waits until at least count pictures arrived; false on time-out.
    bool waitFor(size_t count, std::chrono::milliseconds timeout);
    size_t count();
    std::vector<I420FramePtr> take();

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<I420FramePtr> frames_;
};

// Installs a message handler for its lifetime and keeps every message text.
class MessageCapture {
public:
    MessageCapture();
    ~MessageCapture();
    QStringList messages();
    bool contains(const QString& text);

private:
    QtMessageHandler previous_;
};

// Entries of a /proc/self folder ("task" for threads, "fd" for descriptors).
int countProcEntries(const char* folder);
// The count once threads or descriptors being released have gone (a joined thread's entry
// lingers for a moment): the lowest count seen within quietMs, or the first at or below
// target within 3 s when a target is given.
int settledProcEntries(const char* folder, int target = -1, int quietMs = 200);

// Registers the frame pointer types for queued signals (done by the program at start-up).
void registerFrameTypes();

}  // namespace h264test
