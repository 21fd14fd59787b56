// The program's configuration and run state: five persistent settings kept in the bridge's
// settings store plus a few values that live for one run only. One object per process, created
// on first use and never destroyed.
// Thread rules: GUI thread only (instance() creates the object unguarded), except
// isRecording(), which may be asked from any thread.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>

#include "config/basedata.h"

class KivoCamData : public QObject, public kivo::BaseData {
    Q_OBJECT

public:
    static KivoCamData* instance();

    QString saveDir() const { return saveDir_; }
    void setSaveDir(const QString& dir) { saveDir_ = dir; }
    QString currentRecordFile() const { return currentRecordFile_; }
    void setCurrentRecordFile(const QString& path) { currentRecordFile_ = path; }
    QString deviceName() const { return deviceName_; }
    // Saves at once.
    void setDeviceName(const QString& name);
    QString ipAddress() const { return ipAddress_; }
    void setIpAddress(const QString& ip) { ipAddress_ = ip; }
    // Kept for callers of this settings interface; the program itself neither writes nor reads it
    // (whether a recording runs is the hub's to say).
    bool isRecording() const { return recording_; }
    void setRecording(bool on) { recording_ = on; }
    bool isWindowOnTop() const { return windowOnTop_; }
    void setWindowOnTop(bool on) { windowOnTop_ = on; }
    bool openVirtualMic() const { return openVirtualMic_; }
    void setOpenVirtualMic(bool on) { openVirtualMic_ = on; }
    bool openShotDir() const { return openShotDir_; }
    void setOpenShotDir(bool on) { openShotDir_ = on; }
    bool firstOpen() const { return firstOpen_; }
    void setFirstOpen(bool on) { firstOpen_ = on; }

    // Writes all five persistent values, then commits the store.
    void save();

private:
    KivoCamData();
    void load();

    QString saveDir_;
    QString currentRecordFile_;
    QString deviceName_;
    QString ipAddress_;
    std::atomic<bool> recording_{false};
    bool windowOnTop_ = false;
    bool openVirtualMic_ = false;
    bool openShotDir_ = false;
    bool firstOpen_ = false;
};
