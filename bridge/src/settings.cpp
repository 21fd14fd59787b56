#include "settings.h"

#include <json/json.h>

#include <cerrno>
#include <memory>
#include <sstream>

#include "kivobridge/log.h"
#include "paths.h"
#include "platform/files.h"
#include "settingstext.h"

namespace bg {

JsonSettings::JsonSettings(std::string filePath) : path_(std::move(filePath)) {}

std::string JsonSettings::defaultFilePath() {
    const std::string base = xdgFolder("XDG_CONFIG_HOME", ".config");
    return base.empty() ? std::string() : base + "/KivoCam/settings.json";
}

bool JsonSettings::get(const char* key, std::string& out) const {
    if (!key) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = values_.find(key);
    if (it == values_.end()) return false;
    out = it->second;
    return true;
}

void JsonSettings::set(const char* key, const char* text) {
    if (!key) return;
    std::lock_guard<std::mutex> lock(mutex_);
    values_[key] = text ? text : "";
}

bool JsonSettings::save() {
    if (path_.empty()) {
        LOGE("Cannot save settings: no home folder");
        return false;
    }
    std::lock_guard<std::mutex> saveLock(saveMutex_);
    Json::Value root(Json::objectValue);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [key, text] : values_) root[key] = text;
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "    ";
    builder["emitUTF8"] = true;
    const std::string text = Json::writeString(builder, root) + "\n";

    int err = platform::makeDirs(folderOf(path_));
    if (err == 0) err = platform::writeFileAtomic(path_, text);
    if (err != 0) {
        LOGE("Cannot save settings to %s: %s", path_.c_str(), platform::errorText(err).c_str());
        return false;
    }
    return true;
}

void JsonSettings::reload() {
    std::map<std::string, std::string> loaded;
    std::string text;
    const int err = path_.empty() ? ENOENT : platform::readFile(path_, &text);
    if (err != 0 && err != ENOENT)
        LOGW("Cannot read settings %s: %s", path_.c_str(), platform::errorText(err).c_str());
    if (err == 0) {
        std::vector<std::string> skipped;
        std::string reason;
        if (!parseSettingsText(text, &loaded, &skipped, &reason)) {
            keepCorruptFile(reason.c_str());
        } else {
            for (const std::string& key : skipped)
                LOGW("Settings key %s skipped: not a text value", key.c_str());
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    values_.swap(loaded);
}

void JsonSettings::keepCorruptFile(const char* reason) {
    std::string clean(reason ? reason : "");
    while (!clean.empty() && (clean.back() == '\n' || clean.back() == ' ')) clean.pop_back();
    for (char& c : clean)
        if (c == '\n') c = ' ';
    const std::string stamp = CD ? CD->utility()->now("%Y%m%d-%H%M%S") : std::string("0");
    const std::string base = path_ + ".corrupt-" + stamp;
    std::string target = base;
    int err = platform::renameNoReplace(path_, target);
    for (int i = 1; err == EEXIST && i < 1000; ++i) {
        target = base + "-" + std::to_string(i);
        err = platform::renameNoReplace(path_, target);
    }
    if (err == 0) {
        LOGW("Settings file %s is damaged (%s); kept as %s, starting with defaults", path_.c_str(),
             clean.c_str(), target.c_str());
    } else {
        LOGW(
            "Settings file %s is damaged (%s) and could not be moved aside: %s; starting with "
            "defaults",
            path_.c_str(), clean.c_str(), platform::errorText(err).c_str());
    }
}

}  // namespace bg
