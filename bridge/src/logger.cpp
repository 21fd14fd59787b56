#include "logger.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "paths.h"

namespace bg {

FileLogger::FileLogger(int level, const std::string& filePath) : level_(level) {
    if (filePath.empty()) return;
    const std::string folder = folderOf(filePath);
    int err = platform::makeDirs(folder);
    if (err == 0) {
        fileBytes_ = std::max(0ll, platform::fileSize(filePath));
        if (fileBytes_ > kRotateBytes) {
            rotate(filePath, &err);
        } else {
            file_ = platform::openAppend(filePath, &err);
        }
    }
    if (file_.valid()) {
        path_ = filePath;
    } else {
        const std::string line =
            "Cannot open log file " + filePath + ": " + platform::errorText(err) + "\n";
        platform::writeAll(platform::kStderrFd, line.data(), line.size());
    }
}

void FileLogger::write(int level, const char* /*tag*/, const char* format, ...) {
    if (!format || level > this->level()) return;
    char stackBuf[1024];
    std::vector<char> heapBuf;
    char* line = stackBuf;

    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int len = std::vsnprintf(stackBuf, sizeof stackBuf, format, args);
    va_end(args);
    if (len < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(len) >= sizeof stackBuf) {
        heapBuf.resize(static_cast<size_t>(len) + 2);
        std::vsnprintf(heapBuf.data(), heapBuf.size(), format, again);
        line = heapBuf.data();
    }
    va_end(again);
    // A line always ends with a newline, so the next writer starts on a line of its own.
    size_t n = static_cast<size_t>(len);
    if (n == 0 || line[n - 1] != '\n') {
        if (line == stackBuf && n + 1 >= sizeof stackBuf) {
            heapBuf.assign(line, line + n);
            heapBuf.resize(n + 2);
            line = heapBuf.data();
        }
        line[n++] = '\n';
    }

    std::lock_guard<std::mutex> lock(mutex_);
    platform::writeAll(platform::kStderrFd, line, n);
    if (!file_.valid()) return;
    platform::writeAll(file_.get(), line, n);
    fileBytes_ += static_cast<long long>(n);
    if (fileBytes_ > kRotateBytes) {
        int err = 0;
        if (!rotate(path_, &err)) {
            const std::string text =
                "Cannot open log file " + path_ + ": " + platform::errorText(err) + "\n";
            platform::writeAll(platform::kStderrFd, text.data(), text.size());
        }
    }
}

bool FileLogger::rotate(const std::string& path, int* error) {
    file_.reset();
    const std::string old = path + ".old";
    std::remove(old.c_str());
    std::rename(path.c_str(), old.c_str());
    fileBytes_ = 0;
    file_ = platform::openAppend(path, error);
    return file_.valid();
}

int FileLogger::parseLevel(const char* text) {
    if (!text || !*text) return kLogInfo;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (*end != '\0' || v < kLogError || v > kLogDebug) return kLogInfo;
    return static_cast<int>(v);
}

std::string FileLogger::defaultFilePath() {
    const std::string base = xdgFolder("XDG_STATE_HOME", ".local/state");
    return base.empty() ? std::string() : base + "/KivoCam/kivocam.log";
}

}  // namespace bg
