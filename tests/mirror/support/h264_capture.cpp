#include "h264_capture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMetaType>
#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <thread>

#include "mirror/pcmframe.h"

namespace h264test {

namespace {

std::mutex g_messagesMutex;
QStringList g_messages;

void keepMessage(QtMsgType, const QMessageLogContext&, const QString& text) {
    std::lock_guard<std::mutex> lock(g_messagesMutex);
    g_messages.append(text);
}

}  // namespace

void FrameCollector::add(const I420FramePtr& frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back(frame);
    arrived_.notify_all();
}

bool FrameCollector::waitFor(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
}

size_t FrameCollector::count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
}

std::vector<I420FramePtr> FrameCollector::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<I420FramePtr> out;
    out.swap(frames_);
    return out;
}

MessageCapture::MessageCapture() {
    {
        std::lock_guard<std::mutex> lock(g_messagesMutex);
        g_messages.clear();
    }
    previous_ = qInstallMessageHandler(keepMessage);
}

MessageCapture::~MessageCapture() {
    qInstallMessageHandler(previous_);
}

QStringList MessageCapture::messages() {
    std::lock_guard<std::mutex> lock(g_messagesMutex);
    return g_messages;
}

bool MessageCapture::contains(const QString& text) {
    for (const QString& m : messages())
        if (m.contains(text)) return true;
    return false;
}

int countProcEntries(const char* folder) {
    return int(QDir(QString("/proc/self/") + folder)
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

int settledProcEntries(const char* folder, int target, int quietMs) {
    QElapsedTimer timer;
    timer.start();
    int lowest = countProcEntries(folder);
    while (true) {
        if (target >= 0 && lowest <= target) return lowest;
        if (timer.elapsed() > (target >= 0 ? 3000 : quietMs)) return lowest;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        lowest = std::min(lowest, countProcEntries(folder));
    }
}

void registerFrameTypes() {
    qRegisterMetaType<I420FramePtr>("I420FramePtr");
    qRegisterMetaType<PcmFramePtr>("PcmFramePtr");
}

}  // namespace h264test
