#include "vcam_devctl.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "hex_text.h"

namespace vcam {

std::string DevCtl::defaultPath() {
    const char* env = std::getenv("VCAM_DEVCTL");
    return env && *env ? env : "/.vcam/devices/ctl.sock";
}

DevCtl::DevCtl(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) throw DevCtlError("socket path too long: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw DevCtlError(std::string("socket: ") + strerror(errno));
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int e = errno;
        close(fd_);
        fd_ = -1;
        throw DevCtlError("no device server at " + path + ": " + strerror(e));
    }
}

DevCtl::~DevCtl() {
    if (fd_ >= 0) close(fd_);
}

std::string DevCtl::request(const std::string& line) {
    if (line.find('\n') != std::string::npos) throw DevCtlError("command holds a newline");
    std::string out = line + "\n";
    if (!pnocamera::sendAll(fd_, out.data(), out.size())) throw DevCtlError(std::string("send: ") + strerror(errno));
    std::string reply;
    while (!pending_.takeLine(reply)) {
        ssize_t n = pending_.receive(fd_);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw DevCtlError(std::string("recv: ") + strerror(errno));
        if (n == 0) throw DevCtlError("device server closed the connection");
    }
    return reply;
}

std::string DevCtl::command(const std::string& line) {
    std::string reply = request(line);
    if (reply == "ok") return "";
    if (reply.compare(0, 3, "ok ") == 0) return reply.substr(3);
    throw DevCtlError(line + ": " + reply);
}

int DevCtl::lenses() { return std::stoi(command("lenses")); }

void DevCtl::pauseClock() { command("clock pause"); }

void DevCtl::runClock(double rate) {
    std::ostringstream o;
    o << "clock run " << rate;
    command(o.str());
}

void DevCtl::advance(std::chrono::microseconds us) { command("clock advance " + std::to_string(us.count())); }

void DevCtl::advanceFrames(int n) { command("clock frames " + std::to_string(n)); }

void DevCtl::fault(int lens, const std::string& fault, int count) {
    command("fault " + std::to_string(lens) + " " + fault + " " + std::to_string(count));
}

void DevCtl::flagFault(int lens, const std::string& fault, bool on) {
    command("fault " + std::to_string(lens) + " " + fault + (on ? " on" : " off"));
}

void DevCtl::sizeFault(int lens, int width, int height, int count) {
    command("fault " + std::to_string(lens) + " size " + std::to_string(width) + " " + std::to_string(height) + " " +
            std::to_string(count));
}

void DevCtl::clearFaults(int lens) { command("clear " + std::to_string(lens)); }

std::map<std::string, std::string> DevCtl::state(int lens) {
    std::istringstream in(command("state " + std::to_string(lens)));
    std::map<std::string, std::string> s;
    for (std::string w; in >> w;) {
        size_t eq = w.find('=');
        if (eq != std::string::npos) s[w.substr(0, eq)] = w.substr(eq + 1);
    }
    return s;
}

std::string DevCtl::get(int lens, const std::string& key) { return command("get " + std::to_string(lens) + " " + key); }

long DevCtl::getNumber(int lens, const std::string& key) {
    std::string v = get(lens, key);
    char* end = nullptr;
    long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0') throw DevCtlError(key + " is not a number: " + v);
    return n;
}

void DevCtl::set(int lens, const std::string& key, const std::string& value) {
    command("set " + std::to_string(lens) + " " + key + " " + value);
}

std::string DevCtl::usbImage(int lens) {
    std::string bytes;
    std::string hex = command("usb " + std::to_string(lens) + " image");
    if (!fromHex(hex, bytes)) throw DevCtlError("usb image is not hex");
    return bytes;
}

std::vector<std::string> DevCtl::usbCalls(int lens) {
    std::string all = command("usb " + std::to_string(lens) + " calls");
    std::vector<std::string> out;
    if (all.empty()) return out;
    size_t start = 0;
    for (;;) {
        size_t bar = all.find('|', start);
        out.push_back(all.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) return out;
        start = bar + 1;
    }
}

}  // namespace vcam
