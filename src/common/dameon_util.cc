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
    umask(0);
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
    close(0);
    close(1);
    close(2);
    int fd0 = open(log_path, O_RDWR | O_CREAT | O_APPEND, 0664);
    if (fd0 < 0) {
        // Never leave 0, 1 and 2 free: later opens would take them and
        // log text would land in devices, sockets or config files.
        fd0 = open("/dev/null", O_RDWR);
    }
    int fd1 = dup(fd0);
    int fd2 = dup(fd0);
    (void)fd1;
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
