#include "common/process_util.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "common/worker_status.h"

namespace pnocamera {

pid_t spawnProcess(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        errno = EINVAL;
        return -1;
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    // The child reports a failed exec through a close-on-exec pipe.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid < 0) {
        int err = errno;
        close(report[0]);
        close(report[1]);
        errno = err;
        return -1;
    }
    if (pid == 0) {
        close(report[0]);
        execvp(args[0], args.data());
        int err = errno;
        ssize_t n = write(report[1], &err, sizeof err);
        (void)n;
        _exit(worker_status::kStartFailed);
    }
    close(report[1]);
    int err = 0;
    ssize_t n;
    do {
        n = read(report[0], &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    if (n == static_cast<ssize_t>(sizeof err)) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        errno = err;
        return -1;
    }
    return pid;
}

int runProcess(const std::vector<std::string>& argv) {
    pid_t pid = spawnProcess(argv);
    if (pid < 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

bool exitedCleanly(int status) { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

namespace {
void doNothing(int) {}
}  // namespace

void catchAndIgnore(int signo) {
    struct sigaction sa {};
    sa.sa_handler = doNothing;
    sigemptyset(&sa.sa_mask);
    sigaction(signo, &sa, nullptr);
}

}  // namespace pnocamera
