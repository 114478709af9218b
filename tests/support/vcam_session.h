// Driving the virtual camera from a test: stand-in
// programs, the stand-ins' call log, and a TCP client of the protocol.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/line_io.h"

namespace camtest {

// Writes an executable shell script into /tmp/bin (put first on PATH by
// usePrivateBin) so a test can stand in for a program.
void writeScript(const std::string& name, const std::string& body);
// Puts /tmp/bin first on this process's PATH.
void usePrivateBin();

// Runs a shell command in the camera; a status other than 0 fails the test.
void sh(const std::string& cmd);
// The command's standard output without its trailing newlines.
std::string shOut(const std::string& cmd);

// Lines of /.vcam/calls.log (the stand-ins' command lines).
std::vector<std::string> calls();
bool called(const std::string& line);
// How many of them start with prefix.
size_t callsStartingWith(const std::string& prefix);
void clearCalls();

// A blocking TCP client of 127.0.0.1:8888 with line reads.
class Client {
public:
    Client();
    // From another loopback address (127.0.0.2, 127.0.1.x), with the receive
    // buffer set before the connect when receive_buffer is not 0.
    explicit Client(const char* from, int receive_buffer = 0);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    bool connected() const { return fd_ >= 0; }
    bool send(const std::string& bytes);
    // The next line without its "\n", or "" when none came in time (a wide
    // default, as waitFor's).
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // The first line that contains part; the lines before it are skipped
    // (and kept in skipped()). "" when none came in time.
    std::string readUntil(const std::string& part, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    const std::vector<std::string>& skipped() const { return skipped_; }
    // True when nothing arrives within the time.
    bool quiet(std::chrono::milliseconds timeout = std::chrono::milliseconds(300));
    // True when the peer closed the connection within the time.
    bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(15));
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    pnocamera::LineBuffer buffer_;
    std::vector<std::string> skipped_;
};

// Protocol texts the tests compare with.
std::string stateChanged(int mode);
std::string prepareOK(int mode);
std::string reply(const std::string& type, bool code);
std::string refusal(const std::string& type, const std::string& what);

// Width and height from a JPEG file's frame header; false when it has none.
bool jpegSize(const std::string& path, int& width, int& height);

// Counts of the text in the program's output.
size_t countOf(const std::string& text, const std::string& part);

// Waits until a socket listens on port 8888 (no connection is made).
bool waitForPort(std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Waits until the controller pid holds "/dev/button" open (its last
// device) and its loop serves a connection: from then on it takes SIGINT
// as a stop.
bool waitForStartUp(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A started program with its output in a file; one that still runs when
// its handle goes is killed.
struct Process {
    pid_t pid = -1;
    std::string out_path;
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    ~Process();
    // Waits for the end; the exit status, or -1 on a timeout.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(15));
    std::string output() const;
    // True once the output holds part.
    bool waitForOutput(const std::string& part, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    void reset();
};

// Starts argv with stdout and stderr into out_path.
void start(Process& p, const std::vector<std::string>& argv, const std::string& out_path);

// Starts "controller -d" on an empty LED file (and a panel node when the
// camera serves none) and waits until it serves clients; false when it did
// not come up (p.output() tells why).
bool startController(Process& p, const std::string& out_path = "/tmp/controller.out");
// SIGINT to the controller; its exit status, -1 when it did not end.
int stopController(Process& p);

// The daemon's log file of today, "/log/YYYYMMDD.log".
std::string todayLog();

// The error check of the controller's log: every ERROR or FATAL line of
// glog ("E20261209 11:50:05.712738 ...") in the output of a controller the
// test started through start() (in daemon mode also in its day log, from
// where that file stood) fails the test at its end, unless the line holds
// a part the test declared here (a test client's hang-up lines are always
// taken).
void expectErrorLine(const std::string& part);
// Makes the test program run that check after each test (main() does).
void installLogCheck();

// The bytes written to "/dev/gpioLed" from offset from on that are meant
// for one LED (0 or 1), in order.
std::string ledWrites(int led, size_t from = 0);
size_t ledLogSize();

// Resident memory of a process (VmRSS of /proc/PID/status) in KiB; -1
// when the process is gone.
long residentKiB(pid_t pid);
// True while pid has ended but is not reaped yet.
bool isZombie(pid_t pid);
// True once a child of this process has ended and can be reaped (it is
// not reaped here). Unlike the zombie state in /proc, this also waits for
// every thread of the child, such as an emulator's own.
bool childEnded(pid_t pid);
// Running processes whose name (/proc/PID/comm) is name (zombies not
// counted).
int countProcesses(const std::string& name);

}  // namespace camtest
