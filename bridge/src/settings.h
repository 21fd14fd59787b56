// The settings store behind CD->settings(): text values kept in memory and saved as one
// pretty-printed JSON object. Thread rules: every method from any thread; values_ is guarded by
// mutex_, and saveMutex_ keeps concurrent saves in order so an older snapshot never replaces a
// newer one.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "kivobridge/bridge.h"

namespace bg {

class JsonSettings : public Settings {
public:
    // Does not read the file; call reload() once the logger is up.
    explicit JsonSettings(std::string filePath);

    bool get(const char* key, std::string& out) const override;
    void set(const char* key, const char* text) override;
    bool save() override;
    void reload() override;
    std::string filePath() const override { return path_; }

    // $XDG_CONFIG_HOME/KivoCam/settings.json, or ~/.config/KivoCam/settings.json.
    static std::string defaultFilePath();

private:
    // Moves an unreadable store aside (never over an earlier one) so the user can recover it.
    void keepCorruptFile(const char* reason);

    const std::string path_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> values_;
    std::mutex saveMutex_;
};

}  // namespace bg
