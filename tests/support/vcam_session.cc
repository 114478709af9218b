#include "support/vcam_session.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "common/dameon_util.h"
#include "support/camtest.h"

namespace camtest {

void sh(const std::string& cmd) { ASSERT_EQ(system(cmd.c_str()), 0) << cmd; }

std::string shOut(const std::string& cmd) {
    std::string out = readCmdOutput(cmd);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

void writeScript(const std::string& name, const std::string& body) {
    mkdir("/tmp/bin", 0755);
    std::string path = "/tmp/bin/" + name;
    camtest::writeFile(path, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0755);
}

void usePrivateBin() {
    mkdir("/tmp/bin", 0755);
    const char* old = getenv("PATH");
    std::string path = std::string("/tmp/bin:") + (old ? old : "/usr/bin:/bin");
    if (!old || std::string(old).rfind("/tmp/bin:", 0) != 0) setenv("PATH", path.c_str(), 1);
}

std::vector<std::string> calls() {
    std::vector<std::string> out;
    std::string text;
    try {
        text = camtest::readFile("/.vcam/calls.log");
    } catch (...) {
        return out;
    }
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

bool called(const std::string& line) {
    for (auto& l : calls())
        if (l == line) return true;
    return false;
}

size_t callsStartingWith(const std::string& prefix) {
    size_t n = 0;
    for (auto& l : calls())
        if (l.rfind(prefix, 0) == 0) ++n;
    return n;
}

void clearCalls() { camtest::writeFile("/.vcam/calls.log", ""); }

static int connectPort(const char* from = nullptr, int receive_buffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (receive_buffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    if (from) {
        sockaddr_in b{};
        b.sin_family = AF_INET;
        inet_pton(AF_INET, from, &b.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&b), sizeof b) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(8888);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

Client::Client() : fd_(connectPort()) {}

Client::Client(const char* from, int receive_buffer) : fd_(connectPort(from, receive_buffer)) {}

Client::~Client() {
    if (fd_ >= 0) close(fd_);
}

bool Client::send(const std::string& bytes) { return pnocamera::sendAll(fd_, bytes.data(), bytes.size()); }

std::string Client::readLine(std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    std::string line;
    while (!buffer_.takeLine(line)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return "";
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
        if (buffer_.receive(fd_) <= 0) return "";
    }
    return line;
}

std::string Client::readUntil(const std::string& part, std::chrono::milliseconds timeout) {
    skipped_.clear();
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return "";
        std::string line = readLine(left);
        if (line.empty()) return "";
        if (line.find(part) != std::string::npos) return line;
        skipped_.push_back(line);
    }
}

bool Client::quiet(std::chrono::milliseconds timeout) {
    if (!buffer_.empty()) return false;
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(timeout.count())) == 0;
}

bool Client::closedByPeer(std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
    return false;
}

std::string stateChanged(int mode) {
    return "{\"type\":\"stateChanged\",\"code\":true,\"data\":{\"mode\":" + std::to_string(mode) + "}}";
}

std::string prepareOK(int mode) { return "{\"type\":\"prepareOK\",\"data\":{\"mode\":" + std::to_string(mode) + "}}"; }

std::string reply(const std::string& type, bool code) {
    return "{\"type\":\"" + type + "\",\"code\":" + (code ? "true" : "false") + "}";
}

std::string refusal(const std::string& type, const std::string& what) {
    return "{\"type\":\"" + type + "\",\"code\":false,\"what\":\"" + what + "\"}";
}

bool jpegSize(const std::string& path, int& width, int& height) {
    std::string d;
    try {
        d = camtest::readFile(path);
    } catch (...) {
        return false;
    }
    auto byte = [&](size_t i) { return static_cast<unsigned char>(d[i]); };
    if (d.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8) return false;
    size_t i = 2;
    while (i + 9 < d.size()) {
        if (byte(i) != 0xFF) return false;
        unsigned char marker = byte(i + 1);
        size_t len = (byte(i + 2) << 8) | byte(i + 3);
        if (marker >= 0xC0 && marker <= 0xC3) {
            height = (byte(i + 5) << 8) | byte(i + 6);
            width = (byte(i + 7) << 8) | byte(i + 8);
            return true;
        }
        i += 2 + len;
    }
    return false;
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
    return n;
}

bool waitForPort(std::chrono::milliseconds timeout) {
    // Read from the kernel's socket table rather than by a connection, so
    // that the controller gets no client before the test's own.
    auto listening = [] {
        std::istringstream table(camtest::readFile("/proc/net/tcp"));
        std::string line;
        std::getline(table, line);
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (local.size() > 5 && local.compare(local.size() - 5, 5, ":22B8") == 0 && state == "0A") return true;
        }
        return false;
    };
    return camtest::waitFor(listening, timeout);
}

bool waitForStartUp(pid_t pid, std::chrono::milliseconds timeout) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    bool opened = camtest::waitFor(
        [&] {
            DIR* d = opendir(dir.c_str());
            if (!d) return false;
            bool found = false;
            while (dirent* e = readdir(d)) {
                char target[256] = {0};
                std::string link = dir + "/" + e->d_name;
                ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
                if (n > 0 && std::string(target, static_cast<size_t>(n)) == "/dev/button") found = true;
            }
            closedir(d);
            return found;
        },
        timeout);
    if (!opened) return false;
    // The loop runs (and so takes SIGINT as a stop) once it serves a
    // connection: one that only shuts its sending side is closed by it.
    Client probe;
    return probe.connected() && shutdown(probe.fd(), SHUT_WR) == 0 && probe.closedByPeer(timeout);
}

Process::Process(Process&& other) noexcept : pid(other.pid), out_path(std::move(other.out_path)) { other.pid = -1; }

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        reset();
        pid = other.pid;
        out_path = std::move(other.out_path);
        other.pid = -1;
    }
    return *this;
}

Process::~Process() { reset(); }

void Process::reset() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

bool Process::waitForOutput(const std::string& part, std::chrono::milliseconds timeout) const {
    return camtest::waitFor([&] { return output().find(part) != std::string::npos; }, timeout);
}

int Process::wait(std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

// The file's text, "" when it cannot be read.
static std::string textOf(const std::string& path) {
    try {
        return camtest::readFile(path);
    } catch (...) {
        return "";
    }
}

std::string Process::output() const { return textOf(out_path); }

namespace {

// A controller log of the running test: the file from offset from on,
// after the text of earlier runs that a restart truncated.
struct WatchedLog {
    std::string path;
    size_t from;
    std::string earlier;
};

// A test client that hangs up with replies or pushes unread makes the
// controller's read or write fail (reset, broken pipe, SIGPIPE): the test's
// own doing, at whatever moment it closes, so those lines are always taken.
struct LogWatch {
    std::vector<WatchedLog> logs;
    std::vector<std::string> expected{"error on read eventConnection reset by peer", "error on read eventBroken pipe",
                                      "sig piepe!!!!!!!!!!!!!!!!!"};
};

LogWatch& logWatch() {
    static LogWatch watch;
    return watch;
}

// Earlier runs' text, then the file from w.from on (all of it when the file
// was replaced by a shorter one).
std::string watchedText(const WatchedLog& w) {
    std::string text = textOf(w.path);
    return w.earlier + (text.size() >= w.from ? text.substr(w.from) : text);
}

// truncated: the file is about to be started anew; else the program
// appends to it.
void watchLog(const std::string& path, bool truncated) {
    for (auto& w : logWatch().logs) {
        if (w.path != path) continue;
        if (truncated) {
            w.earlier = watchedText(w);
            w.from = 0;
        }
        return;
    }
    struct stat st;
    size_t from = !truncated && stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    logWatch().logs.push_back({path, from, ""});
}

// glog's prefix of an ERROR or FATAL record: the letter, the date (with or
// without the year), the time.
bool isErrorLine(const std::string& line) {
    if (line.empty() || (line[0] != 'E' && line[0] != 'F')) return false;
    size_t digits = 1;
    while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits]))) ++digits;
    if (digits != 5 && digits != 9) return false;
    // " HH:MM:SS" after the date
    const char* shape = " 00:00:00";
    for (size_t i = 0; shape[i]; ++i) {
        size_t at = digits + i;
        if (at >= line.size()) return false;
        bool ok = shape[i] == '0' ? std::isdigit(static_cast<unsigned char>(line[at])) != 0 : line[at] == shape[i];
        if (!ok) return false;
    }
    return true;
}

class LogCheck : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { logWatch() = LogWatch(); }
    void OnTestEnd(const testing::TestInfo&) override {
        const LogWatch& watch = logWatch();
        for (const WatchedLog& w : watch.logs) {
            std::istringstream in(watchedText(w));
            std::string line;
            while (std::getline(in, line)) {
                if (!isErrorLine(line)) continue;
                bool expected = std::any_of(watch.expected.begin(), watch.expected.end(), [&](const std::string& part) {
                    return line.find(part) != std::string::npos;
                });
                if (!expected)
                    ADD_FAILURE() << "unexpected error line in " << w.path
                                  << " (camtest::expectErrorLine declares one the test means):\n"
                                  << line;
            }
        }
        logWatch() = LogWatch();
    }
};

}  // namespace

void expectErrorLine(const std::string& part) { logWatch().expected.push_back(part); }

void installLogCheck() { testing::UnitTest::GetInstance()->listeners().Append(new LogCheck); }

std::string todayLog() {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char path[64];
    snprintf(path, sizeof path, "/log/%d%02d%02d.log", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return path;
}

void start(Process& p, const std::vector<std::string>& argv, const std::string& out_path) {
    p.out_path = out_path;
    // a controller's log gets the error check at the test's end
    if (argv[0].substr(argv[0].rfind('/') + 1) == "controller") {
        watchLog(out_path, true);
        if (std::find(argv.begin(), argv.end(), "-d") == argv.end()) watchLog(todayLog(), false);
    }
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        dprintf(2, "cannot run %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    if (pid < 0) std::fprintf(stderr, "cannot start %s: %s\n", argv[0].c_str(), strerror(errno));
    p.pid = pid;
}

bool startController(Process& p, const std::string& out_path) {
    if (!camtest::exists("/dev/oled")) camtest::writeFile("/dev/oled", "");
    camtest::writeFile("/dev/gpioLed", "");
    start(p, {"controller", "-d"}, out_path);
    return waitForPort() && waitForStartUp(p.pid);
}

int stopController(Process& p) {
    if (p.pid <= 0) return -1;
    kill(p.pid, SIGINT);
    return p.wait();
}

std::string ledWrites(int led, size_t from) {
    std::string log = camtest::readFile("/dev/gpioLed");
    std::string out;
    for (size_t i = from; i < log.size(); ++i)
        if ((static_cast<unsigned char>(log[i]) & 0xF0) == (0x10 << led)) out.push_back(log[i]);
    return out;
}

size_t ledLogSize() { return camtest::readFile("/dev/gpioLed").size(); }

long residentKiB(pid_t pid) {
    std::string status;
    try {
        status = camtest::readFile("/proc/" + std::to_string(pid) + "/status");
    } catch (...) {
        return -1;
    }
    size_t at = status.find("VmRSS:");
    if (at == std::string::npos) return -1;
    return std::atol(status.c_str() + at + 6);
}

bool isZombie(pid_t pid) {
    std::string stat;
    try {
        stat = camtest::readFile("/proc/" + std::to_string(pid) + "/stat");
    } catch (...) {
        return false;
    }
    // the state follows the name in parentheses, which may hold spaces
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

bool childEnded(pid_t pid) {
    siginfo_t info{};
    if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return info.si_pid == pid;
}

int countProcesses(const std::string& name) {
    int n = 0;
    DIR* d = opendir("/proc");
    if (!d) return 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::string comm;
        try {
            comm = camtest::readFile(std::string("/proc/") + e->d_name + "/comm");
        } catch (...) {
            continue;
        }
        if (comm == name + "\n" && !isZombie(std::atoi(e->d_name))) ++n;
    }
    closedir(d);
    return n;
}

}  // namespace camtest
