#include "platform/process.h"

#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fcntl.h>

extern char** environ;

namespace platform {

namespace {

// Run by a shell started in a session of its own with its streams on /dev/null: it says whether
// the program can be started (127 not found, 126 not executable), starts it in the background and
// exits, so the program is handed to init.
constexpr const char* kStarter =
    "case $1 in */*) [ -e \"$1\" ] || exit 127; [ -f \"$1\" ] && [ -x \"$1\" ] || exit 126;;"
    " *) command -v \"$1\" >/dev/null 2>&1 || exit 127;; esac; \"$@\" & exit 0";

// posix_spawn attributes and file actions with their destroy calls.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    SpawnSetup() {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

// No fork() here: it would mark the whole address space of this large, busy process
// copy-on-write, and for the next frames every thread that writes a picture buffer pays a page
// copy per 4 KiB (a visible stall of the stream). posix_spawn starts the shell without copying.
int spawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty() || argv[0].empty()) return EINVAL;
    std::vector<char*> args;
    args.reserve(argv.size() + 5);
    for (const char* a : {"sh", "-c", kStarter, "kivo-start"}) args.push_back(const_cast<char*>(a));
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    SpawnSetup setup;
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSID);
    // Our standard streams may be pipes someone reads to the end; the program must not hold
    // them open for as long as it runs.
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null", O_RDWR, 0);

    pid_t starter = -1;
    const int err =
        posix_spawn(&starter, "/bin/sh", &setup.actions, &setup.attr, args.data(), environ);
    if (err != 0) return err;
    int status = 0;
    while (::waitpid(starter, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status)) return EAGAIN;
    switch (WEXITSTATUS(status)) {
        case 0:
            return 0;
        case 127:
            return ENOENT;
        case 126:
            return EACCES;
        default:
            return EAGAIN;
    }
}

long long currentProcessId() {
    return static_cast<long long>(::getpid());
}

}  // namespace platform
