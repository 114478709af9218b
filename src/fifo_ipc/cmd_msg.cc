#include "fifo_ipc/cmd_msg.h"

#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

using rapidjson::Value;

namespace {
// The parser's English messages, as clients and logs have always seen them.
const char* parseErrorText(rapidjson::ParseErrorCode code) {
    if (code == rapidjson::kParseErrorDocumentRootNotSingular)
        return "The document root must not follow by other values.";
    return rapidjson::GetParseError_En(code);
}
}  // namespace

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
        LOG(ERROR) << "parse_err " << parseErrorText(doc.GetParseError());
        return nullptr;
    }
    if (!doc.IsObject()) {
        LOG(ERROR) << "parse_err " << parseErrorText(rapidjson::kParseErrorNone);
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
