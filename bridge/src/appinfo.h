// Application name, version, build date and web address. Thread rules: any thread; the fields
// are guarded by mutex_.
#pragma once

#include <mutex>
#include <string>

#include "kivobridge/bridge.h"

namespace bg {

class AppInfoStore : public AppInfo {
public:
    void setName(const char* name) override { store(name_, name); }
    void setVersion(const char* version) override { store(version_, version); }
    void setBuildDate(const char* date) override { store(buildDate_, date); }
    void setWebAddress(const char* address) override { store(webAddress_, address); }
    std::string name() const override { return load(name_); }
    std::string version() const override { return load(version_); }
    std::string buildDate() const override { return load(buildDate_); }
    std::string webAddress() const override { return load(webAddress_); }

private:
    void store(std::string& field, const char* text) {
        std::lock_guard<std::mutex> lock(mutex_);
        field = text ? text : "";
    }
    std::string load(const std::string& field) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return field;
    }

    mutable std::mutex mutex_;
    std::string name_, version_, buildDate_, webAddress_;
};

}  // namespace bg
