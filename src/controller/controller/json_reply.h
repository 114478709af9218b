// The one writer of the protocol's JSON objects: "type", then "code" when
// given, then the members the body writes; compact, on one line.
#pragma once

#include <string>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

template <typename Body>
std::string writeJsonObject(const std::string& type, const bool* code, Body body) {
    rapidjson::StringBuffer sb;
    JsonWriter w(sb);
    w.StartObject();
    w.Key("type");
    w.String(type.c_str(), static_cast<rapidjson::SizeType>(type.size()));
    if (code) {
        w.Key("code");
        w.Bool(*code);
    }
    body(w);
    w.EndObject();
    return std::string(sb.GetString(), sb.GetSize());
}
