// Test library: helpers for tests that run inside the virtual camera.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <glog/logging.h>

namespace camtest {

// True inside the virtual camera's sandbox.
bool inSandbox();

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool exists(const std::string& path);
void removeFile(const std::string& path);

// Polls pred every few milliseconds until it holds or the timeout passes.
// The default is wide: it is only used up when the wait fails, and a loaded
// machine (sanitizers, parallel tests) must not fail a wait that holds.
bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The message of the E that f throws; none when f throws nothing.
template <typename E>
std::string thrownText(const std::function<void()>& f, const std::string& none = "") {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return none;
}

// Collects the glog records written while it lives.
class LogCapture : public google::LogSink {
public:
    LogCapture();
    ~LogCapture() override;
    void send(google::LogSeverity severity, const char* full_filename, const char* base_filename, int line,
              const struct ::tm* tm_time, const char* message, size_t message_len) override;

    struct Record {
        google::LogSeverity severity;
        std::string text;
    };
    std::vector<Record> records() const;
    // Number of records of that severity whose text equals text exactly.
    int count(google::LogSeverity severity, const std::string& text) const;
    // True when some record's text contains part.
    bool contains(const std::string& part) const;
    void clear();

private:
    mutable std::mutex mu_;
    std::vector<Record> records_;
};

}  // namespace camtest
