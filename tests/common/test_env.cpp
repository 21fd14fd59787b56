#include "test_env.h"

#include <QCoreApplication>
#include <QTcpServer>

namespace kivotest {

QString scratchDir() {
    return qEnvironmentVariable("KIVOCAM_TEST_SCRATCH");
}

QString binDir() {
    const QString fromEnv = qEnvironmentVariable("KIVOCAM_BIN_DIR");
    return fromEnv.isEmpty() ? QCoreApplication::applicationDirPath() : fromEnv;
}

int freeTcpPort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) return 0;
    return server.serverPort();
}

}  // namespace kivotest
