// Starts bridge_child with its XDG folders pointed at the test's own.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <memory>

#include "test_env.h"

namespace bridgetest {

inline std::unique_ptr<QProcess> startChild(const QStringList& args) {
    auto child = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KIVOCAM_LOG_LEVEL", "4");
    child->setProcessEnvironment(env);
    child->setStandardErrorFile(QProcess::nullDevice());
    child->start(kivotest::binDir() + "/bridge_child", args);
    return child;
}

}  // namespace bridgetest
