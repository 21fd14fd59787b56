#include "utility.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "kivobridge/log.h"
#include "paths.h"
#include "platform/files.h"
#include "platform/process.h"

namespace bg {

std::string SystemUtility::now(const char* format) const {
    if (!format || !*format) return std::string();
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char buf[256];
    const size_t n = std::strftime(buf, sizeof buf, format, &local);
    return std::string(buf, n);
}

std::string SystemUtility::shortName(const char* function, int width) const {
    if (!function || width <= 0) return std::string();
    const size_t len = std::strlen(function);
    const size_t w = static_cast<size_t>(width);
    return len <= w ? std::string(function, len) : std::string(function + len - w, w);
}

int64_t SystemUtility::clock() const {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool SystemUtility::openLocation(const char* path) const {
    if (!path || !*path) {
        LOGW("Cannot show an empty path");
        return false;
    }
    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (!platform::isDirectory(folder)) folder = folderOf(folder);
    if (!platform::isDirectory(folder)) {
        LOGW("Cannot show %s: no such folder", folder.c_str());
        return false;
    }
    int err = platform::spawnDetached({"xdg-open", folder});
    if (err == ENOENT) err = platform::spawnDetached({"gio", "open", folder});
    if (err != 0) {
        LOGW("Cannot start a file manager for %s: %s", folder.c_str(),
             platform::errorText(err).c_str());
        return false;
    }
    return true;
}

}  // namespace bg
