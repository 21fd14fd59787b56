// Shared pieces of the main window tests: condition waits that keep the event loop running, the
// phone simulator as a running process, answers to message boxes, and picture comparisons.
// Thread rules: the test's (GUI) thread only.
#pragma once

#include <QImage>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

#include "ui/prompts.h"

namespace windowtest {

// Runs the event loop until cond() holds or ms pass; returns cond().
bool waitFor(const std::function<bool()>& cond, int ms);
// Runs the event loop for ms (used only to let an event that must not happen have its chance).
void settle(int ms);

// kivocam-phonesim as a child process talking to the window's command port.
class Phone {
public:
    ~Phone();
    bool start(quint16 port, const QStringList& args);
    bool running() const { return process_.state() != QProcess::NotRunning; }
    // Waits (event loop running) for the simulator to end; its exit code, -1 on a crash or
    // time-out.
    int finish(int timeoutMs = 60000);
    QString output() const { return output_; }

private:
    QProcess process_;
    mutable QString output_;
};

// Answers every message box instead of a person and remembers what was asked.
class Boxes {
public:
    struct Shown {
        ui::BoxKind kind;
        QString title;
        QString text;
    };
    explicit Boxes(bool answer = true);
    ~Boxes();
    const std::vector<Shown>& shown() const { return shown_; }
    bool contains(const QString& text) const;
    void clear() { shown_.clear(); }

private:
    std::vector<Shown> shown_;
};

// Closes the next modal dialog once it is open (for buttons that run one with exec()).
void rejectNextModal();

// PSNR over R, G and B of two pictures of one size, in dB (99 when identical, 0 on a size
// mismatch).
double psnrRgb(const QImage& a, const QImage& b);

// Raw I420 pictures of one size as written by the simulator's --dump-yuv, as upright RGB
// pictures converted the way the renderer converts them.
std::vector<QImage> readDumpAsRgb(const QString& path, int width, int height);

}  // namespace windowtest
