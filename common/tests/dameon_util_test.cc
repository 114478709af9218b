#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "common/dameon_util.h"
#include "support/camtest.h"

namespace {

// Runs f in a child process and returns its exit status.
int inChild(const std::function<int()>& f) {
    pid_t pid = fork();
    if (pid == 0) _exit(f());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Another process that takes the lock on path and holds it until release().
class LockHolder {
public:
    explicit LockHolder(const char* path) {
        if (pipe(ready_) != 0 || pipe(done_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            char c = lockfile(path) == 0 ? 'y' : 'n';
            ssize_t n = write(ready_[1], &c, 1);
            n = read(done_[0], &c, 1);
            (void)n;
            _exit(0);
        }
        char c = 0;
        locked_ = read(ready_[0], &c, 1) == 1 && c == 'y';
    }
    ~LockHolder() { release(); }
    void release() {
        if (pid_ <= 0) return;
        ssize_t n = write(done_[1], "x", 1);
        (void)n;
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        for (int fd : {ready_[0], ready_[1], done_[0], done_[1]}) close(fd);
    }
    bool locked() const { return locked_; }
    pid_t pid() const { return pid_; }

private:
    int ready_[2] = {-1, -1};
    int done_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool locked_ = false;
};

TEST(Lockfile, HoldsPidAndRefusesASecondProcess) {
    const char* path = "/var/run/camera.pid";
    camtest::writeFile(path, "123456789012345");
    LockHolder holder(path);
    ASSERT_TRUE(holder.locked());

    std::string content = camtest::readFile(path);
    EXPECT_EQ(content, std::to_string(holder.pid()) + std::string(1, '\0'));

    camtest::LogCapture log;
    EXPECT_EQ(already_running(path), 1);
    EXPECT_TRUE(log.contains(std::string("can't lock ") + path + " :"));
    EXPECT_EQ(camtest::readFile(path), content) << "a failed lock writes nothing";

    holder.release();
    // The lock went with its process; the stale pid is replaced.
    EXPECT_EQ(inChild([path] { return already_running(path); }), 0);
}

TEST(Lockfile, FailedLockClosesItsDescriptor) {
    const char* path = "/var/run/video0.lck";
    LockHolder holder(path);
    ASSERT_TRUE(holder.locked());
    int probe = open("/dev/null", O_RDONLY);
    close(probe);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(lockfile(path), -1);
    int after = open("/dev/null", O_RDONLY);
    EXPECT_EQ(after, probe) << "each failed lock must give its descriptor back";
    close(after);
}

TEST(Lockfile, MissingDirectory) {
    camtest::LogCapture log;
    EXPECT_EQ(lockfile("/nonexistent/dir/x.pid"), -1);
    EXPECT_TRUE(log.contains("can't open /nonexistent/dir/x.pid :"));
}

TEST(ReadCmdOutput, WholeOutputWhateverTheStatus) {
    std::string line(600, 'a');
    EXPECT_EQ(readCmdOutput("printf '" + line + "\\nsecond\\n'"), line + "\nsecond\n");
    EXPECT_EQ(readCmdOutput("echo x; exit 1"), "x\n");
    EXPECT_EQ(readCmdOutput("true"), "");
}

TEST(Daemonize, StandardStreamsAppendToTheLog) {
    // The daemon's parent exits at once; the grandchild reports back by file.
    int status = inChild([] {
        daemonize("camtest", "/log/daemon.log");
        printf("out line\n");
        fflush(stdout);
        fprintf(stderr, "err line\n");
        char cwd[64] = {0};
        if (getcwd(cwd, sizeof cwd)) fprintf(stderr, "cwd %s\n", cwd);
        return 0;
    });
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(camtest::waitFor([] {
        return camtest::exists("/log/daemon.log") &&
               camtest::readFile("/log/daemon.log").find("cwd /") != std::string::npos;
    }));
    EXPECT_EQ(camtest::readFile("/log/daemon.log"), "out line\nerr line\ncwd /\n");
}

TEST(Daemonize, UnopenableLogStillOccupiesTheStandardStreams) {
    unlink("/tmp/daemon_probe");
    inChild([] {
        daemonize("camtest", "/nonexistent/dir/daemon.log");
        // A file opened now must not become standard output or error.
        int fd = open("/tmp/daemon_probe", O_RDWR | O_CREAT, 0644);
        printf("stray output\n");
        fflush(stdout);
        fprintf(stderr, "stray error\n");
        char text[32];
        int len = snprintf(text, sizeof text, "\nfd %d", fd);
        ssize_t n = write(fd, text, static_cast<size_t>(len));
        (void)n;
        close(fd);
        return 0;
    });
    ASSERT_TRUE(camtest::waitFor([] {
        return camtest::exists("/tmp/daemon_probe") &&
               camtest::readFile("/tmp/daemon_probe").find("fd ") != std::string::npos;
    }));
    std::string probe = camtest::readFile("/tmp/daemon_probe");
    EXPECT_EQ(probe.find("stray"), std::string::npos) << probe;
    int fd = std::stoi(probe.substr(probe.find("fd ") + 3));
    EXPECT_GT(fd, 2);
}

}  // namespace
