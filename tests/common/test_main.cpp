// Test main shared by every test program: isolates the process from the user's files and from
// real networks before anything reads the environment.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <string>

#include "kivobridge/bridge.h"

namespace {

void setDefault(const char* name, const std::string& value) {
    if (!std::getenv(name)) ::setenv(name, value.c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir scratch(QDir::tempPath() + "/kivotest-XXXXXX");
    const std::string root = scratch.path().toStdString();
    for (const char* sub : {"/home", "/config", "/state", "/runtime"})
        QDir().mkpath(QString::fromStdString(root + sub));
    // Qt insists on a private runtime folder.
    QFile::setPermissions(QString::fromStdString(root + "/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    ::setenv("KIVOCAM_TEST_SCRATCH", root.c_str(), 1);
    ::setenv("HOME", (root + "/home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (root + "/state").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
    // PipeWire clients would otherwise still find the machine's own daemon through these.
    ::unsetenv("PIPEWIRE_REMOTE");
    ::unsetenv("PIPEWIRE_RUNTIME_DIR");
    // Every test sees the same locale, whatever the machine's: C with UTF-8, so system error
    // texts are the C library's own and a started program's interface is English. Tests of the
    // Chinese interface choose it themselves.
    ::setenv("LC_ALL", "C.UTF-8", 1);
    for (const char* v : {"LANGUAGE", "LC_MESSAGES", "LANG"}) ::unsetenv(v);
    // Discovery only ever sees a loopback adapter in tests.
    ::setenv("KIVOCAM_ADAPTERS", "lo0|Test adapter|127.0.0.2", 1);
    ::setenv("KIVOCAM_SHM_NAME", ("KivoTestCamera" + std::to_string(::getpid())).c_str(), 1);
    setDefault("KIVOCAM_LOG_LEVEL", "5");
    // Widgets need a platform; without a display use the offscreen one (no OpenGL there).
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    ::testing::InitGoogleTest(&argc, argv);
    bg::InitBridge(argc, argv);
    int rc;
    {
        QApplication app(argc, argv);
        rc = RUN_ALL_TESTS();
    }
    bg::UninitBridge();
    return rc;
}
