#include "platform/files.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

std::string homeDir() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) return pw->pw_dir;
    return std::string();
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

long long fileSize(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long long>(st.st_size);
}

std::string stateFilePath(const std::string& file) {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string dir = (state && *state) ? std::string(state) : homeDir() + "/.local/state";
    dir += "/KivoCam";
    if (makeDirs(dir) != 0) return std::string();
    return dir + "/" + file;
}

int makeDirs(const std::string& path) {
    if (path.empty()) return ENOENT;
    if (isDirectory(path)) return 0;
    // Create each missing ancestor from the top; EEXIST from a racing creator is fine.
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        const std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    }
    return isDirectory(path) ? 0 : ENOTDIR;
}

int readFile(const std::string& path, std::string* out) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return errno;
    out->clear();
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        out->append(chunk, static_cast<size_t>(n));
    }
}

bool writeAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        const ssize_t n = ::write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

namespace {

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int syncFolder(const std::string& folder) {
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return errno;
    // Some file systems cannot sync a folder; the rename itself has happened by then.
    if (::fsync(dir.get()) != 0 && errno != EINVAL && errno != EROFS) return errno;
    return 0;
}

}  // namespace

int writeFileAtomic(const std::string& path, const std::string& data) {
    std::vector<char> tmpl(path.begin(), path.end());
    static const char kSuffix[] = ".tmp-XXXXXX";
    tmpl.insert(tmpl.end(), kSuffix, kSuffix + sizeof kSuffix);  // with the terminating zero
    UniqueFd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (!fd.valid()) return errno;
    const std::string tmp(tmpl.data());
    int err = 0;
    if (!writeAll(fd.get(), data.data(), data.size()) || ::fsync(fd.get()) != 0) err = errno;
    if (err == 0) {
        fd.reset();  // closed before the rename; the data is already on disk
        if (::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    }
    if (err != 0) {
        ::unlink(tmp.c_str());
        return err;
    }
    return syncFolder(folderOf(path));
}

int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // File systems without RENAME_NOREPLACE: a hard link refuses an existing name as well.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}

UniqueFd openAppend(const std::string& path, int* error) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (error) *error = fd.valid() ? 0 : errno;
    return fd;
}

std::string errorText(int error) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not live in buf.
    return ::strerror_r(error, buf, sizeof buf);
}

}  // namespace platform
