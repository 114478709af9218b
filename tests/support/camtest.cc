#include "support/camtest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace camtest {

bool inSandbox() {
    struct stat st;
    const char* mark = getenv("VCAM_SANDBOX");
    return mark && std::string(mark) == "1" && stat("/.vcam", &st) == 0 && S_ISDIR(st.st_mode);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << content;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void removeFile(const std::string& path) { unlink(path.c_str()); }

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

LogCapture::LogCapture() { google::AddLogSink(this); }
LogCapture::~LogCapture() { google::RemoveLogSink(this); }

void LogCapture::send(google::LogSeverity severity, const char*, const char*, int, const struct ::tm*,
                      const char* message, size_t message_len) {
    std::lock_guard<std::mutex> lock(mu_);
    records_.push_back({severity, std::string(message, message_len)});
}

std::vector<LogCapture::Record> LogCapture::records() const {
    std::lock_guard<std::mutex> lock(mu_);
    return records_;
}

int LogCapture::count(google::LogSeverity severity, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (auto& r : records_)
        if (r.severity == severity && r.text == text) ++n;
    return n;
}

bool LogCapture::contains(const std::string& part) const {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& r : records_)
        if (r.text.find(part) != std::string::npos) return true;
    return false;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mu_);
    records_.clear();
}

}  // namespace camtest
