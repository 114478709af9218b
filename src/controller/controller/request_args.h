// Arguments of a client request: members of its "data" object, each of one
// JSON kind. A missing "data", a missing member or a member of another kind
// gives false (or null), and the handler then answers nothing.
#pragma once

#include <string>

#include <rapidjson/document.h>

#include "fifo_ipc/cmd_msg.h"

namespace request_args {

// The member key of the request's "data" object, or null.
inline const rapidjson::Value* member(CmdMessage const& msg, const char* key) {
    const rapidjson::Document& doc = msg.document();
    auto data = doc.FindMember("data");
    if (data == doc.MemberEnd() || !data->value.IsObject()) return nullptr;
    auto it = data->value.FindMember(key);
    return it == data->value.MemberEnd() ? nullptr : &it->value;
}

// A string member, NUL bytes included.
inline bool getString(CmdMessage const& msg, const char* key, std::string& out) {
    const rapidjson::Value* v = member(msg, key);
    if (!v || !v->IsString()) return false;
    out.assign(v->GetString(), v->GetStringLength());
    return true;
}

// A member that passes is, read with get.
template <typename T>
bool getKind(CmdMessage const& msg, const char* key, bool (rapidjson::Value::*is)() const,
             T (rapidjson::Value::*get)() const, T& out) {
    const rapidjson::Value* v = member(msg, key);
    if (!v || !(v->*is)()) return false;
    out = (v->*get)();
    return true;
}

// An integer that fits a signed 32-bit int (1.0 and 1e0 are not ints).
inline bool getInt(CmdMessage const& msg, const char* key, int& out) {
    return getKind(msg, key, &rapidjson::Value::IsInt, &rapidjson::Value::GetInt, out);
}

// A number written with a fraction or an exponent (1 is not a double).
inline bool getDouble(CmdMessage const& msg, const char* key, double& out) {
    return getKind(msg, key, &rapidjson::Value::IsDouble, &rapidjson::Value::GetDouble, out);
}

inline bool getBool(CmdMessage const& msg, const char* key, bool& out) {
    return getKind(msg, key, &rapidjson::Value::IsBool, &rapidjson::Value::GetBool, out);
}

// An array member, or null.
inline const rapidjson::Value* getArray(CmdMessage const& msg, const char* key) {
    const rapidjson::Value* v = member(msg, key);
    return v && v->IsArray() ? v : nullptr;
}

}  // namespace request_args
