// Typed access to the bridge's persistent settings store. Strings are stored as UTF-8, booleans as
// "1" / "0". Nothing here commits the store: the caller calls save() on it when done.
// Thread rules: any thread (the store locks itself); a no-op returning the default while the
// bridge is down.
#pragma once

#include <QString>

namespace kivo {

// A stored "0" reads false and any other integer true. A missing or unparseable value yields
// def, which is written back when storeDefault is set.
bool settingBool(const char* key, bool def, bool storeDefault);
// The whole stored text decoded as UTF-8; a missing key yields def (written back when
// storeDefault is set).
QString settingString(const char* key, const QString& def, bool storeDefault);
void setSettingBool(const char* key, bool value);
void setSettingString(const char* key, const QString& value);
// Commits the store; false when it could not be written.
bool commitSettings();

}  // namespace kivo
