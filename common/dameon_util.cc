#include "common/dameon_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <glog/logging.h>

namespace {

void forkAway(const char* cmd) {
    pid_t pid = fork();
    if (pid < 0) {
        printf("%s: can't fork", cmd);
    } else if (pid != 0) {
        exit(0);
    }
}

}  // namespace

int daemonize(const char* cmd, const char* log_path) {
    // files the daemon and its workers create: 0644, never world-writable
    umask(022);
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) < 0) printf("%s: can't get file limit", cmd);

    forkAway(cmd);
    setsid();

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    if (sigaction(SIGHUP, &sa, nullptr) < 0) printf("%s: can't ignore SIGHUP", cmd);

    forkAway(cmd);
    if (chdir("/") < 0) printf("%s: can't change directory to /", cmd);

    fflush(stdout);
    // The log (or /dev/null) is opened before the standard streams are given
    // up and then put in their place, so that 0, 1 and 2 are never free: an
    // open made meanwhile (here or in a preloaded library) would take them,
    // and log text would land in devices, sockets or config files.
    int fd = open(log_path, O_RDWR | O_CREAT | O_APPEND, 0664);
    if (fd < 0) fd = open("/dev/null", O_RDWR);
    int fd2 = -1;
    if (fd >= 0) {
        for (int std_fd = 0; std_fd <= 2; ++std_fd) fd2 = dup2(fd, std_fd);
        if (fd > 2) close(fd);
    }
    return fd2;
}

int lockfile(const char* path) {
    LOG(INFO) << "to lock file " << path;
    // errno is read before each log record: writing a record may change it.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        int err = errno;
        LOG(ERROR) << "can't open " << path << " :" << strerror(err);
        errno = err;
        return -1;
    }
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    int ret = fcntl(fd, F_SETLK, &fl);
    if (ret < 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    char buf[32];
    int len = snprintf(buf, sizeof buf, "%ld", static_cast<long>(getpid()));
    if (ftruncate(fd, 0) < 0 || write(fd, buf, static_cast<size_t>(len) + 1) < 0) {
        int err = errno;
        LOG(ERROR) << "can't write " << path << " :" << strerror(err);
    }
    // The descriptor stays open: the lock lasts as long as the process.
    return ret;
}

int already_running(const char* path) {
    if (lockfile(path) >= 0) return 0;
    int err = errno;
    LOG(ERROR) << "can't lock " << path << " :" << strerror(err);
    return 1;
}

std::string readCmdOutput(const std::string& cmd) {
    std::string result;
    FILE* fp = popen(cmd.c_str(), "r");
    if (!fp) return result;
    char buf[256];
    while (fgets(buf, sizeof buf, fp)) result += buf;
    pclose(fp);
    return result;
}
