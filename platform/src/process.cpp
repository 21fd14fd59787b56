#include "platform/process.h"

#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"

namespace platform {

namespace {

// Runs in the grandchild after fork: only async-signal-safe calls from here on.
[[noreturn]] void execOrReport(char* const* args, int reportFd) {
    ::setsid();
    // Our standard streams may be pipes someone reads to the end; the program must not hold
    // them open for as long as it runs.
    const int devNull = ::open("/dev/null", O_RDWR);
    if (devNull >= 0) {
        for (int fd = 0; fd <= 2; ++fd) ::dup2(devNull, fd);
        if (devNull > 2) ::close(devNull);
    }
    ::execvp(args[0], args);
    const int err = errno;
    ssize_t ignored = ::write(reportFd, &err, sizeof err);
    (void)ignored;
    ::_exit(127);
}

}  // namespace

int spawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty() || argv[0].empty()) return EINVAL;
    // Everything the children need is prepared here: after fork they may not allocate.
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);

    // Double fork: the middle child exits at once, so the program is reparented to init.
    const pid_t middle = ::fork();
    if (middle < 0) return errno;
    if (middle == 0) {
        const pid_t grandchild = ::fork();
        if (grandchild == 0) execOrReport(args.data(), writeEnd.get());
        ::_exit(grandchild < 0 ? 1 : 0);
    }
    writeEnd.reset();
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return EAGAIN;

    // The pipe closes on a successful exec (close-on-exec) and carries errno otherwise.
    int err = 0;
    ssize_t n;
    while ((n = ::read(readEnd.get(), &err, sizeof err)) < 0 && errno == EINTR) {
    }
    return n == static_cast<ssize_t>(sizeof err) ? err : 0;
}

long long currentProcessId() {
    return static_cast<long long>(::getpid());
}

}  // namespace platform
