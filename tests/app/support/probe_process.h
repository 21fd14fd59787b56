// A child process of the tests (the probe or the program itself) whose output lines are
// collected as they arrive. Standard output and standard error are merged.
#pragma once

#include <QProcess>
#include <QStringList>

namespace apptest {

QString probePath();
QString kivocamPath();
// Hex-encoded UTF-8, as the probe takes values.
QString hexArg(const QString& value);

class ChildProcess {
public:
    ChildProcess(const QString& program, const QStringList& args);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits until a line containing text has arrived; returns it, or a null string on time-out
    // or when the process ended without printing it.
    QString waitForLine(const QString& text, int timeoutMs);
    bool hasLine(const QString& text);
    QStringList lines();
    // Waits for the end; true when it exited normally within the time.
    bool waitForExit(int timeoutMs);
    int exitCode() const { return process_.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return process_.exitStatus(); }
    qint64 pid() const { return process_.processId(); }
    void terminate() { process_.terminate(); }
    void kill() { process_.kill(); }

private:
    void collect();

    QProcess process_;
    QByteArray pending_;
    QStringList lines_;
};

}  // namespace apptest
