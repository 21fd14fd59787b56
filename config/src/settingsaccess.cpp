#include "kivobridge/bridge.h"

#include "config/settingsaccess.h"

#include <string>

namespace kivo {

namespace {

bg::Settings* store() {
    return bg::CD ? bg::CD->settings() : nullptr;
}

}  // namespace

bool settingBool(const char* key, bool def, bool storeDefault) {
    bg::Settings* s = store();
    if (!s) return def;
    std::string text;
    if (s->get(key, text)) {
        bool ok = false;
        const int value = QString::fromStdString(text).trimmed().toInt(&ok);
        if (ok) return value != 0;
    }
    if (storeDefault) setSettingBool(key, def);
    return def;
}

QString settingString(const char* key, const QString& def, bool storeDefault) {
    bg::Settings* s = store();
    if (!s) return def;
    std::string text;
    if (s->get(key, text)) return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
    if (storeDefault) setSettingString(key, def);
    return def;
}

void setSettingBool(const char* key, bool value) {
    if (bg::Settings* s = store()) s->set(key, value ? "1" : "0");
}

void setSettingString(const char* key, const QString& value) {
    if (bg::Settings* s = store()) s->set(key, value.toUtf8().constData());
}

bool commitSettings() {
    bg::Settings* s = store();
    return s && s->save();
}

}  // namespace kivo
