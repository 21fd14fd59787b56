#include "paths.h"

#include <cstdlib>

#include "platform/files.h"

namespace bg {

std::string xdgFolder(const char* variable, const char* fallback) {
    // Relative values are invalid for the XDG base folders and are ignored.
    if (const char* v = std::getenv(variable); v && v[0] == '/') return v;
    const std::string home = platform::homeDir();
    return home.empty() ? std::string() : home + "/" + fallback;
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace bg
