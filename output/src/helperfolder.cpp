#include "output/helperfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

QString helperFolder() {
    const QString beside = QCoreApplication::applicationDirPath();
    if (QFileInfo(beside + "/Drivers").isDir()) return beside;
    const QString installed = QDir::cleanPath(beside + "/../lib/kivocam");
    return QFileInfo(installed + "/Drivers").isDir() ? installed : beside;
}
