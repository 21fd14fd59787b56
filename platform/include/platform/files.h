// Files and folders: whole-file reads, crash-safe replacement, appending, folder creation.
// Plain POSIX calls behind small functions; no logging here, callers report the errno values.
// Any thread.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace platform {

// Owns a file descriptor and closes it on scope exit. Movable, not copyable.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        reset(std::exchange(o.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1);

private:
    int fd_;
};

constexpr int kStderrFd = 2;

// $HOME, else the password database's home folder; "" when neither is known.
std::string homeDir();

// Creates the folder and any missing parents (mode 0700). 0 when it is a folder afterwards,
// otherwise the errno value.
int makeDirs(const std::string& path);

// $XDG_STATE_HOME/KivoCam/<file> (default ~/.local/state/KivoCam/), its folder made if missing;
// "" when the folder cannot be made. Where the helper programs keep their logs.
std::string stateFilePath(const std::string& file);

bool isDirectory(const std::string& path);
bool exists(const std::string& path);
// Size in bytes, or -1 when the file cannot be examined.
long long fileSize(const std::string& path);

// Reads a whole file into out. 0 or the errno value (ENOENT when it does not exist).
int readFile(const std::string& path, std::string* out);

// Replaces path with data so that a crash at any moment leaves either the old or the new
// complete file: a temporary file in the same folder is written and synced, renamed over path,
// and the folder is synced. The temporary file is removed on failure. 0 or the errno value.
int writeFileAtomic(const std::string& path, const std::string& data);

// Renames from to to, failing with EEXIST instead of replacing an existing to. 0 or errno.
int renameNoReplace(const std::string& from, const std::string& to);

// Opens path for appending, creating it (mode 0600). Invalid on failure; errno in *error.
UniqueFd openAppend(const std::string& path, int* error = nullptr);

// Writes every byte, retrying short writes and interrupted calls. False on an error.
bool writeAll(int fd, const void* data, size_t len);

// Readable text of an errno value.
std::string errorText(int error);

}  // namespace platform
