// What the tests that start sound servers and command-line tools share: running a program to its
// end, waiting on a condition, and deciding whether a server that will not start fails the test
// (in CI) or only skips it. Header only; GUI thread.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QThread>

#include <cstdlib>
#include <cstring>
#include <functional>

namespace proctest {

struct Result {
    int exitCode = -1;  // -1 also when it crashed or did not end in time
    QByteArray out;
};

inline Result run(const QString& program, const QStringList& args, int timeoutMs = 10000) {
    QProcess p;
    p.start(program, args);
    Result r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(1000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    return r;
}

// Ends a program the test started: asks first, then kills.
inline void stop(QProcess& p) {
    if (p.state() == QProcess::NotRunning) return;
    p.terminate();
    if (!p.waitForFinished(3000)) {
        p.kill();
        p.waitForFinished(3000);
    }
}

// Polls cond every 50 ms until it holds or timeoutMs passes.
inline bool waitFor(const std::function<bool()>& cond, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    for (;;) {
        if (cond()) return true;
        if (t.elapsed() > timeoutMs) return false;
        QThread::msleep(50);
    }
}

inline bool inCi() {
    const char* ci = std::getenv("CI");
    return ci && *ci && std::strcmp(ci, "false") != 0 && std::strcmp(ci, "0") != 0;
}

}  // namespace proctest

// Starts a private server (start() returns why it failed, or ""): a failure fails the test in CI
// and skips it elsewhere. what names the server in the message.
#define START_SERVER_OR_BAIL(server, what)                                                 \
    do {                                                                                   \
        const QString why = (server).start();                                              \
        if (!why.isEmpty()) {                                                              \
            if (proctest::inCi()) FAIL() << what " must run in CI: " << why.toStdString(); \
            GTEST_SKIP() << "no " what " here: " << why.toStdString();                     \
        }                                                                                  \
    } while (0)
