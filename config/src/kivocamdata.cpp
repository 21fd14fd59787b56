#include "kivobridge/log.h"

#include "config/kivocamdata.h"

#include <QDir>
#include <QHostInfo>

#include "config/settingsaccess.h"

namespace {

constexpr const char* kKeyDeviceName = "cfg_device_name";
constexpr const char* kKeySaveDir = "cfg_save_dir";
constexpr const char* kKeyOpenVirtualMic = "cfg_open_vmic";
constexpr const char* kKeyOpenShotDir = "cfg_shot_opendir";
constexpr const char* kKeyFirstOpen = "cfg_first_open";

}  // namespace

KivoCamData* KivoCamData::instance() {
    // Deliberately never deleted: other objects may still read it while the program winds down.
    static KivoCamData* data = nullptr;
    if (!data) data = new KivoCamData;
    return data;
}

KivoCamData::KivoCamData() {
    load();
}

void KivoCamData::load() {
    deviceName_ = kivo::settingString(
        kKeyDeviceName, QStringLiteral("KivoCam[%1]").arg(QHostInfo::localHostName()), false);
    saveDir_ = kivo::settingString(kKeySaveDir, QDir::homePath(), false);
    openVirtualMic_ = kivo::settingBool(kKeyOpenVirtualMic, false, false);
    openShotDir_ = kivo::settingBool(kKeyOpenShotDir, true, false);
    firstOpen_ = kivo::settingBool(kKeyFirstOpen, true, false);
    // Afterwards every key exists in the store, with its default on a first start.
    save();
    recording_ = false;
    windowOnTop_ = false;
    LOGI("Configuration loaded: device '%s', save dir '%s'", deviceName_.toUtf8().constData(),
         saveDir_.toUtf8().constData());
}

void KivoCamData::setDeviceName(const QString& name) {
    deviceName_ = name;
    save();
}

void KivoCamData::save() {
    kivo::setSettingString(kKeyDeviceName, deviceName_);
    kivo::setSettingString(kKeySaveDir, saveDir_);
    kivo::setSettingBool(kKeyOpenVirtualMic, openVirtualMic_);
    kivo::setSettingBool(kKeyOpenShotDir, openShotDir_);
    kivo::setSettingBool(kKeyFirstOpen, firstOpen_);
    if (!kivo::commitSettings()) LOGW("Settings could not be saved");
}
