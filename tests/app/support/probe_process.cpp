#include "probe_process.h"

#include <QElapsedTimer>

#include <algorithm>

#include "test_env.h"

namespace apptest {

QString probePath() {
    return kivotest::binDir() + "/kivo_app_probe";
}

QString kivocamPath() {
    return kivotest::binDir() + "/kivocam";
}

QString hexArg(const QString& value) {
    return QString::fromLatin1(value.toUtf8().toHex());
}

ChildProcess::ChildProcess(const QString& program, const QStringList& args) {
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(program, args);
    process_.waitForStarted(5000);
}

ChildProcess::~ChildProcess() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

void ChildProcess::collect() {
    pending_ += process_.readAll();
    int nl;
    while ((nl = pending_.indexOf('\n')) >= 0) {
        lines_ << QString::fromUtf8(pending_.left(nl));
        pending_.remove(0, nl + 1);
    }
}

QString ChildProcess::waitForLine(const QString& text, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    int checked = 0;
    for (;;) {
        collect();
        for (; checked < lines_.size(); ++checked)
            if (lines_[checked].contains(text)) return lines_[checked];
        const qint64 left = timeoutMs - timer.elapsed();
        if (left <= 0) return QString();
        if (process_.state() == QProcess::NotRunning) {
            collect();
            if (checked == lines_.size()) return QString();
            continue;
        }
        process_.waitForReadyRead(static_cast<int>(std::min<qint64>(left, 100)));
    }
}

bool ChildProcess::hasLine(const QString& text) {
    collect();
    for (const QString& line : lines_)
        if (line.contains(text)) return true;
    return false;
}

QStringList ChildProcess::lines() {
    collect();
    return lines_;
}

bool ChildProcess::waitForExit(int timeoutMs) {
    if (process_.state() != QProcess::NotRunning) process_.waitForFinished(timeoutMs);
    collect();
    return process_.state() == QProcess::NotRunning &&
           process_.exitStatus() == QProcess::NormalExit;
}

}  // namespace apptest
