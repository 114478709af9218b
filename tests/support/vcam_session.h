// Driving the virtual camera from a test: stand-in
// programs, the stand-ins' call log, and a TCP client of the protocol.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace camtest {

// Writes an executable shell script into /tmp/bin (put first on PATH by
// usePrivateBin) so a test can stand in for a program.
void writeScript(const std::string& name, const std::string& body);
// Puts /tmp/bin first on this process's PATH.
void usePrivateBin();

// Lines of /.vcam/calls.log (the stand-ins' command lines).
std::vector<std::string> calls();
bool called(const std::string& line);
void clearCalls();

// A blocking TCP client of 127.0.0.1:8888 with line reads.
class Client {
public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    bool connected() const { return fd_ >= 0; }
    bool send(const std::string& bytes);
    // The next line without its "\n", or "" when none came in time.
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(3));
    // The first line that contains part; the lines before it are skipped
    // (and kept in skipped()). "" when none came in time.
    std::string readUntil(const std::string& part,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));
    const std::vector<std::string>& skipped() const { return skipped_; }
    // True when nothing arrives within the time.
    bool quiet(std::chrono::milliseconds timeout = std::chrono::milliseconds(300));
    // True when the peer closed the connection within the time.
    bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string buffer_;
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

// Connects, retrying until the controller listens.
bool waitForPort(std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Waits until the controller pid holds "/dev/button" open (its last
// start-up step before the loop).
bool waitForStartUp(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A started program with its output in a file.
struct Process {
    pid_t pid = -1;
    std::string out_path;
    ~Process();
    // Waits for the end; the exit status, or -1 on a timeout.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(15));
    std::string output() const;
};

// Starts argv with stdout and stderr into out_path.
void start(Process& p, const std::vector<std::string>& argv, const std::string& out_path);

// Starts "controller -d" on an empty LED file (and a panel node when the
// camera serves none) and waits until it serves clients; false when it did
// not come up (p.output() tells why).
bool startController(Process& p, const std::string& out_path = "/tmp/controller.out");

}  // namespace camtest
