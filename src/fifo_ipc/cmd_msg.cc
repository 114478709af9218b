#include "fifo_ipc/cmd_msg.h"

#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <vector>

using rapidjson::Value;

namespace {
// The parser's English messages, as clients and logs have always seen them.
const char* parseErrorText(rapidjson::ParseErrorCode code) {
    if (code == rapidjson::kParseErrorDocumentRootNotSingular)
        return "The document root must not follow by other values.";
    return rapidjson::GetParseError_En(code);
}
// The parse error as the recursive parser gives it: the iterative one calls
// a document that starts with '}', ']', ',' or ':' empty, the recursive one
// an invalid value. Both skip the bytes of a UTF-8 byte order mark (each
// in its place) and white space first.
rapidjson::ParseErrorCode parseErrorOf(const rapidjson::Document& doc, const std::string& line) {
    rapidjson::ParseErrorCode code = doc.GetParseError();
    if (code != rapidjson::kParseErrorDocumentEmpty) return code;
    size_t at = 0;
    for (unsigned char mark : {0xEF, 0xBB, 0xBF})
        if (at < line.size() && static_cast<unsigned char>(line[at]) == mark) ++at;
    at = line.find_first_not_of(" \t\n\r", at);
    if (at != std::string::npos && line[at] != '\0') return rapidjson::kParseErrorValueInvalid;
    return code;
}
// What is wrong with a parsed value, kParseErrorNone when nothing: every
// name and string, escapes decoded, must be valid UTF-8, and every number
// finite (the parser rounds some just past the largest double to infinity,
// which no JSON writer can write back); walked without recursion, as deep
// as the parser let it be.
rapidjson::ParseErrorCode unsoundValue(const Value& root) {
    std::vector<const Value*> todo{&root};
    while (!todo.empty()) {
        const Value& v = *todo.back();
        todo.pop_back();
        if (v.IsString()) {
            if (!isValidUtf8(v.GetString(), v.GetStringLength())) return rapidjson::kParseErrorStringInvalidEncoding;
        } else if (v.IsDouble()) {
            if (!std::isfinite(v.GetDouble())) return rapidjson::kParseErrorNumberTooBig;
        } else if (v.IsArray()) {
            for (const Value& e : v.GetArray()) todo.push_back(&e);
        } else if (v.IsObject()) {
            for (auto& m : v.GetObject()) {
                todo.push_back(&m.name);
                todo.push_back(&m.value);
            }
        }
    }
    return rapidjson::kParseErrorNone;
}
}  // namespace

namespace {
// The length of the valid UTF-8 sequence at p[0], 0 when there is none.
size_t sequenceAt(const unsigned char* p, size_t left) {
    unsigned c = p[0];
    if (c < 0x80) return 1;
    size_t n;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 2;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 3;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (left <= n) return 0;
    if (p[1] < lo || p[1] > hi) return 0;
    for (size_t k = 2; k <= n; ++k)
        if (p[k] < 0x80 || p[k] > 0xBF) return 0;
    return n + 1;
}
}  // namespace

std::string toValidUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t n = sequenceAt(p + i, text.size() - i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

bool isValidUtf8(const char* text, size_t size) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < size) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        size_t n = sequenceAt(p + i, size - i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

CmdMessage::CmdMessage(const std::string& cmd) {
    doc_.SetObject();
    auto& a = doc_.GetAllocator();
    doc_.AddMember("cmd", Value(cmd.c_str(), static_cast<rapidjson::SizeType>(cmd.size()), a), a);
    doc_.AddMember("data", Value(rapidjson::kObjectType), a);
}

CmdMessage::CmdMessage(const CmdMessage& other) { doc_.CopyFrom(other.doc_, doc_.GetAllocator()); }

CmdMessage& CmdMessage::operator=(const CmdMessage& other) {
    CmdMessage copy(other);
    swap(*this, copy);
    return *this;
}

CmdMessage::CmdMessage(CmdMessage&& other) noexcept : doc_(std::move(other.doc_)) {}

CmdMessage& CmdMessage::operator=(CmdMessage&& other) noexcept {
    if (this != &other) doc_ = std::move(other.doc_);
    return *this;
}

void swap(CmdMessage& a, CmdMessage& b) noexcept { a.doc_.Swap(b.doc_); }

std::shared_ptr<CmdMessage> CmdMessage::CreateWithCmdString(const std::string& line) {
    rapidjson::Document doc;
    // Lines come from the network: the iterative parser keeps deep nesting
    // off the call stack.
    doc.Parse<rapidjson::kParseIterativeFlag>(line.c_str(), line.size());
    if (doc.HasParseError()) {
        LOG(ERROR) << "parse_err " << parseErrorText(parseErrorOf(doc, line));
        return nullptr;
    }
    if (!doc.IsObject()) {
        LOG(ERROR) << "parse_err " << parseErrorText(rapidjson::kParseErrorNone);
        return nullptr;
    }
    // a text that is not UTF-8 is never stored nor echoed to other clients,
    // nor a number that could not be written back
    if (rapidjson::ParseErrorCode why = unsoundValue(doc)) {
        LOG(ERROR) << "parse_err " << parseErrorText(why);
        return nullptr;
    }
    auto cmd = doc.FindMember("cmd");
    if (cmd == doc.MemberEnd() || !cmd->value.IsString()) return nullptr;
    auto msg = std::make_shared<CmdMessage>(std::string());
    msg->doc_.Swap(doc);
    return msg;
}

Value& CmdMessage::data() {
    auto it = doc_.FindMember("data");
    CHECK(it != doc_.MemberEnd() && it->value.IsObject()) << "cmd data invalid " << GetString();
    return it->value;
}

template <>
void CmdMessage::AddDataMember<std::string>(const std::string& key, const std::string& value) {
    auto& a = doc_.GetAllocator();
    data().AddMember(Value(key.c_str(), static_cast<rapidjson::SizeType>(key.size()), a),
                     Value(value.c_str(), static_cast<rapidjson::SizeType>(value.size()), a), a);
}

template <>
void CmdMessage::AddDataMember<int>(const std::string& key, const int& value) {
    auto& a = doc_.GetAllocator();
    data().AddMember(Value(key.c_str(), static_cast<rapidjson::SizeType>(key.size()), a), Value(value), a);
}

template <>
void CmdMessage::AddDataMember<double>(const std::string& key, const double& value) {
    auto& a = doc_.GetAllocator();
    data().AddMember(Value(key.c_str(), static_cast<rapidjson::SizeType>(key.size()), a), Value(value), a);
}

template <>
void CmdMessage::AddDataMember<bool>(const std::string& key, const bool& value) {
    auto& a = doc_.GetAllocator();
    data().AddMember(Value(key.c_str(), static_cast<rapidjson::SizeType>(key.size()), a), Value(value), a);
}

std::string CmdMessage::GetString() const {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buf);
    doc_.Accept(writer);
    return std::string(buf.GetString(), buf.GetSize());
}
