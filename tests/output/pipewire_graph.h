// A PipeWire graph of this test process only: a session bus (dbus-run-session), pipewire,
// wireplumber and pipewire-pulse, all with the test's private XDG_RUNTIME_DIR, so programs the
// test starts find this graph and never the machine's own. Every process it stops is one it
// started (by its own handle). Also reads the graph with pw-dump. Header only; GUI thread.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <cstring>
#include <memory>
#include <vector>

#include "process_support.h"

namespace pwtest {

using proctest::Result;
using proctest::run;
using proctest::waitFor;

// Every object of the graph as pw-dump prints it.
inline QJsonArray dump() {
    const Result r = run("pw-dump", {});
    return r.exitCode == 0 ? QJsonDocument::fromJson(r.out).array() : QJsonArray();
}

// The node named name ("info" holds "props" and "params"), or an empty object.
inline QJsonObject node(const QString& name) {
    for (const QJsonValue& v : dump()) {
        const QJsonObject o = v.toObject();
        if (o.value("type").toString() != "PipeWire:Interface:Node") continue;
        const QJsonObject info = o.value("info").toObject();
        if (info.value("props").toObject().value("node.name").toString() == name) return o;
    }
    return QJsonObject();
}

class Graph {
public:
    ~Graph() { stop(); }

    // Empty on success, else what went wrong.
    QString start() {
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        if (runtime.isEmpty()) return "no private XDG_RUNTIME_DIR";
        QDir().mkpath(runtime);
        QFile::setPermissions(
            runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qunsetenv("PIPEWIRE_REMOTE");
        qunsetenv("PIPEWIRE_RUNTIME_DIR");
        // Sound clients (pactl, parec, RtAudio) talk to this graph's pulse server.
        qputenv("PULSE_SERVER", "unix:" + runtime + "/pulse/native");
        if (!bus_) {
            bus_ = std::make_unique<QProcess>();
            bus_->start("dbus-run-session",
                        {"--", "sh", "-c", "echo \"$DBUS_SESSION_BUS_ADDRESS\"; exec cat"});
            if (!bus_->waitForStarted(5000)) return "dbus-run-session could not be started";
            QElapsedTimer t;
            t.start();
            while (!bus_->canReadLine() && t.elapsed() < 10000) bus_->waitForReadyRead(100);
            const QByteArray address = bus_->readLine().trimmed();
            if (address.isEmpty()) return "no session bus";
            qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        }
        return startDaemons();
    }

    // Ends the three daemons (as a session restart does), then starts them again.
    QString restart() {
        stopDaemons();
        return startDaemons();
    }

    void stopDaemons() {
        // The session manager and the pulse server first: they follow the daemon anyway.
        for (auto it = daemons_.rbegin(); it != daemons_.rend(); ++it) {
            QProcess& p = **it;
            if (p.state() == QProcess::NotRunning) continue;
            p.terminate();
            if (!p.waitForFinished(3000)) {
                p.kill();
                p.waitForFinished(3000);
            }
        }
        daemons_.clear();
    }

    void stop() {
        stopDaemons();
        if (bus_ && bus_->state() != QProcess::NotRunning) {
            bus_->closeWriteChannel();  // cat ends, and dbus-run-session ends its bus
            if (!bus_->waitForFinished(3000)) {
                bus_->kill();
                bus_->waitForFinished(3000);
            }
        }
        bus_.reset();
    }

    // What the daemons printed, for failure messages.
    QString logs() const {
        QString all;
        for (const auto& p : daemons_) all += QString::fromLocal8Bit(p->readAll());
        return all;
    }

private:
    QString startDaemons() {
        for (const char* program : {"pipewire", "wireplumber", "pipewire-pulse"}) {
            auto p = std::make_unique<QProcess>();
            p->setProcessChannelMode(QProcess::MergedChannels);
            p->start(program, QStringList());
            if (!p->waitForStarted(5000)) return QString(program) + " could not be started";
            daemons_.push_back(std::move(p));
            if (std::strcmp(program, "pipewire") == 0 &&
                !waitFor(
                    [] {
                        return run("pw-cli", {"info", "0"}, 3000).exitCode == 0;
                    },
                    10000))
                return "pipewire did not answer: " + logs();
        }
        // WirePlumber opens its second connection once its scripts are loaded; pulse is ready
        // once pactl gets an answer.
        if (!waitFor(
                [] {
                    for (const QJsonValue& v : dump()) {
                        const QJsonObject info = v.toObject().value("info").toObject();
                        if (info.value("props").toObject().value("application.name") ==
                            "WirePlumber [export]")
                            return true;
                    }
                    return false;
                },
                15000))
            return "wireplumber did not come up: " + logs();
        if (!waitFor([] { return run("pactl", {"info"}, 3000).exitCode == 0; }, 10000))
            return "pipewire-pulse did not answer: " + logs();
        return QString();
    }

    std::unique_ptr<QProcess> bus_;
    std::vector<std::unique_ptr<QProcess>> daemons_;
};

}  // namespace pwtest

#define START_PIPEWIRE_OR_BAIL(graph) START_SERVER_OR_BAIL(graph, "PipeWire")
