// The logger behind CD->logger(): each line goes whole to standard error and to the log file.
// A file past kRotateBytes (at start-up or during the run) becomes kivocam.log.old and a new one
// is started, so a long run never fills the disk.
// Thread rules: every method from any thread; lines are written under one mutex.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "kivobridge/bridge.h"
#include "platform/files.h"

namespace bg {

class FileLogger : public Logger {
public:
    // Opens (creating folders) filePath for appending; an empty path logs to standard error only.
    FileLogger(int level, const std::string& filePath);

    int level() const override { return level_.load(std::memory_order_relaxed); }
    void setLevel(int level) override { level_.store(level, std::memory_order_relaxed); }
    void write(int level, const char* tag, const char* format, ...) override
        __attribute__((format(printf, 4, 5)));
    std::string filePath() const override { return path_; }

    // Level named by a KIVOCAM_LOG_LEVEL text: 2 to 5, anything else gives the default 4.
    static int parseLevel(const char* text);
    // $XDG_STATE_HOME/KivoCam/kivocam.log, or ~/.local/state/KivoCam/kivocam.log.
    static std::string defaultFilePath();

    static constexpr long long kRotateBytes = 8ll << 20;

private:
    // Moves the file at path to path.old and opens a fresh one; mutex_ held (or in the
    // constructor). False with *error when the new file cannot be opened.
    bool rotate(const std::string& path, int* error);

    std::atomic<int> level_;
    std::string path_;  // "" when no file could be opened
    std::mutex mutex_;  // guards writes to both destinations
    platform::UniqueFd file_;
    // Size of the file: its size when opened plus what this process has written since.
    long long fileBytes_ = 0;
};

}  // namespace bg
