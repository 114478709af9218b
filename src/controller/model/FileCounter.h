// The one persistent media counter ("/etc/cnt.conf": last value handed out).
#pragma once

#include <string>

#include "config/config_paths.h"

class FileCounter {
public:
    static constexpr int kMaxCount = 99998;

    explicit FileCounter(std::string path = camera_paths::kCounterConf) : path_(std::move(path)) {}

    // The next counter value (1..99998, then 1 again); the file holds it
    // afterwards. A file that cannot be written is logged.
    int nextCount() const;

private:
    std::string path_;
};
