#include "config/savefolder.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

namespace savefolder {

namespace {

QString withSlash(QString dir) {
    if (!dir.endsWith('/')) dir += '/';
    return dir;
}

}  // namespace

bool isWritable(const QString& dir) {
    if (dir.isEmpty() || !QFileInfo(dir).isDir()) return false;
    QTemporaryFile probe(QDir(dir).filePath(QStringLiteral(".kivocam-write-test-XXXXXX")));
    return probe.open();  // the temporary file removes itself
}

Choice choose(const QString& stored) {
    // An empty setting would otherwise mean the current folder, or "/" once a slash is added.
    if (isWritable(stored)) return {withSlash(stored), false};
    for (const QString& dir : {QDir::homePath(), QDir::tempPath()})
        if (isWritable(dir)) return {withSlash(dir), true};
    return {QString(), true};
}

}  // namespace savefolder
