// A small key/value store kept in a file that holds one JSON object
// ("/etc/offset.conf", "/etc/user.conf"). Every set rewrites the whole file.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

class PropertyConfig {
public:
    explicit PropertyConfig(const std::string& path);

    // Stores value under key (in place when the key exists, appended
    // otherwise) and rewrites the file; false (error() tells why) when the
    // file could not be rewritten.
    template <typename T>
    bool setProperty(const std::string& key, T value) {
        assign(key, value);
        return update();
    }

    // As setProperty, but nothing is written when the rewritten file would
    // be larger than max_bytes and larger than the file is now (error() is
    // then "file too large"): a file past the bound can still shrink.
    bool setPropertyWithin(const std::string& key, const std::string& value, size_t max_bytes);

    // Stores several string members and rewrites the file once.
    bool setProperties(const std::vector<std::pair<std::string, std::string>>& members);

    // The member's value; "" (or 0) when missing or of another type.
    template <typename T = std::string>
    T queryProperty(const std::string& key) const;
    // True when the member is there with a value of that type.
    template <typename T = std::string>
    bool hasProperty(const std::string& key) const;

    // Rewrites the whole file from the document; false when that failed.
    bool update();

    const std::string& path() const { return path_; }
    // The system's text for the last failure to open or write the file.
    const std::string& error() const { return error_; }

private:
    const rapidjson::Value* find(const std::string& key) const;
    rapidjson::Value& slot(const std::string& key);
    void assign(const std::string& key, const char* value);
    void assign(const std::string& key, const std::string& value);
    void assign(const std::string& key, int value);
    void assign(const std::string& key, double value);

    std::string path_;
    std::string error_;
    rapidjson::Document doc_;
};

template <>
std::string PropertyConfig::queryProperty<std::string>(const std::string& key) const;
template <>
int PropertyConfig::queryProperty<int>(const std::string& key) const;
template <>
bool PropertyConfig::hasProperty<std::string>(const std::string& key) const;
template <>
bool PropertyConfig::hasProperty<int>(const std::string& key) const;

// Deleter for a PropertyConfig held by a unique_ptr; never writes the file.
struct PropertyConfigDeleter {
    void operator()(PropertyConfig* config) const { delete config; }
};
