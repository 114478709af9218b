// One command message: {"cmd": name, "data": {...}}, exchanged over the FIFOs
// and the TCP protocol as one compact JSON line.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <glog/logging.h>
#include <rapidjson/document.h>

// True when text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing past U+10FFFF).
bool isValidUtf8(const char* text, size_t size);
inline bool isValidUtf8(const std::string& text) { return isValidUtf8(text.data(), text.size()); }
// text with each byte that is not part of a valid UTF-8 sequence replaced by
// U+FFFD.
std::string toValidUtf8(const std::string& text);

class CmdMessage {
public:
    explicit CmdMessage(const std::string& cmd);
    CmdMessage(const CmdMessage& other);
    CmdMessage& operator=(const CmdMessage& other);
    CmdMessage(CmdMessage&& other) noexcept;
    CmdMessage& operator=(CmdMessage&& other) noexcept;

    // Parses one line; empty unless it is one JSON object with a string "cmd"
    // whose names and strings are all valid UTF-8.
    static std::shared_ptr<CmdMessage> CreateWithCmdString(const std::string& line);

    template <typename T>
    void AddDataMember(const std::string& key, const T& value);

    std::string GetString() const;

    std::string GetCmd() const {
        auto it = doc_.FindMember("cmd");
        CHECK(it != doc_.MemberEnd() && it->value.IsString()) << "invalid cmd msg type ";
        return std::string(it->value.GetString(), it->value.GetStringLength());
    }

    const rapidjson::Document& document() const { return doc_; }

    friend void swap(CmdMessage& a, CmdMessage& b) noexcept;

private:
    rapidjson::Value& data();

    rapidjson::Document doc_;
};

template <>
void CmdMessage::AddDataMember<std::string>(const std::string& key, const std::string& value);
template <>
void CmdMessage::AddDataMember<int>(const std::string& key, const int& value);
template <>
void CmdMessage::AddDataMember<double>(const std::string& key, const double& value);
template <>
void CmdMessage::AddDataMember<bool>(const std::string& key, const bool& value);
