#include "config/app_config.h"

#include <cstdio>

#include <glog/logging.h>

#include "common/file_util.h"
#include "config/json_file.h"

using rapidjson::Value;

AppConfig::AppConfig(const std::string& path) : path_(path) {
    std::string text;
    if (!pnocamera::readSmallFile(path, text)) throw ConfigError("open config file err...");
    doc_.Parse(text.c_str(), text.size());
    if (doc_.HasParseError() || !doc_.IsObject()) throw ConfigError("file format error ...");
}

int32_t AppConfig::queryCameraNum() const {
    auto it = doc_.FindMember("cameraNum");
    if (it == doc_.MemberEnd() || !it->value.IsInt()) throw ConfigError("cameranum config err");
    return it->value.GetInt();
}

std::string AppConfig::queryOrientation() const {
    auto it = doc_.FindMember("orientation");
    if (it == doc_.MemberEnd() || !it->value.IsString()) {
        LOG(ERROR) << "query orientation err ";
        throw ConfigError("orientation config err");
    }
    return std::string(it->value.GetString(), it->value.GetStringLength());
}

void AppConfig::queryJobParam(const char* name, bool with_bitrate, bool with_scale, const char* log_text,
                              const char* error_text, ConfigParam& param) const {
    auto fail = [&]() {
        LOG(ERROR) << log_text;
        throw ConfigError(error_text);
    };
    auto obj = doc_.FindMember(name);
    if (obj == doc_.MemberEnd() || !obj->value.IsObject()) fail();
    const Value& v = obj->value;
    // A member of another JSON type counts as missing.
    auto integer = [&v](const char* key) {
        auto m = v.FindMember(key);
        return m != v.MemberEnd() && m->value.IsInt();
    };
    if (!integer("width") || !integer("height") || !integer("mode")) fail();
    if (with_bitrate && !integer("bitrate")) fail();
    bool has_scale = with_scale && v.HasMember("scale");
    if (has_scale && !integer("scale")) fail();

    param.width = v["width"].GetInt();
    param.height = v["height"].GetInt();
    if (with_bitrate) param.bitrate = v["bitrate"].GetInt();
    param.mode = v["mode"].GetInt();
    if (has_scale) param.scale = v["scale"].GetInt();
}

void AppConfig::queryTakePhotoParam(ConfigParam& param) const {
    queryJobParam("takePhoto", false, false, "query take photo err", "take photo config err", param);
}

void AppConfig::queryRecordParam(ConfigParam& param) const {
    queryJobParam("recordVideo", true, false, "query record err", "record config err", param);
}

void AppConfig::queryLiveParam(ConfigParam& param) const {
    queryJobParam("live", true, true, "query live err", "live config err", param);
}

void AppConfig::queryPreviewParam(ConfigParam& param) const {
    queryJobParam("preview", true, true, "query preview err", "preview config err", param);
}

void AppConfig::queryRecordPreviewParam(ConfigParam& param) const {
    queryJobParam("recordPreview", true, true, "query record preview err", "record preview config err", param);
}

void AppConfig::queryRGBRatio(uint32_t* ratio) {
    auto obj = doc_.FindMember("rgbRatio");
    if (obj != doc_.MemberEnd() && obj->value.IsObject()) {
        const Value& v = obj->value;
        const char* keys[] = {"rRatio", "gRatio", "bRatio"};
        bool valid = true;
        for (const char* key : keys) {
            auto m = v.FindMember(key);
            valid = valid && m != v.MemberEnd() && m->value.IsUint();
        }
        if (valid) {
            for (int i = 0; i < 3; ++i) ratio[i] = v[keys[i]].GetUint();
            return;
        }
    }
    LOG(INFO) << "no valid config for rgbRatio, default to 100%";
    ratio[0] = ratio[1] = ratio[2] = 100;
}

std::string AppConfig::defaultLanguage() const {
    auto it = doc_.FindMember("language");
    if (it == doc_.MemberEnd()) throw ConfigError("no member language ");
    if (!it->value.IsString()) throw ConfigError("language type is not String");
    return std::string(it->value.GetString(), it->value.GetStringLength());
}

void AppConfig::querySettingItem(std::vector<int>& items) const {
    auto it = doc_.FindMember("setting");
    if (it == doc_.MemberEnd()) throw ConfigError("no member setting ");
    if (!it->value.IsArray()) throw ConfigError("setting type is not array ");
    for (auto& e : it->value.GetArray()) {
        if (!e.IsInt()) throw ConfigError("setting type is not array ");
    }
    for (auto& e : it->value.GetArray()) items.push_back(e.GetInt());
}

bool AppConfig::setSize(const char* name, const ConfigParam& param) {
    std::string n(name);
    auto obj = doc_.FindMember(name);
    if (obj == doc_.MemberEnd()) throw ConfigError("no member " + n + " ");
    if (!obj->value.IsObject()) throw ConfigError(n + " type is not object");
    Value& v = obj->value;
    if (!v.HasMember("width")) throw ConfigError(n + " has no width");
    if (!v.HasMember("height")) throw ConfigError(n + " has no height");
    v["width"].SetInt(param.width);
    v["height"].SetInt(param.height);
    return write();
}

bool AppConfig::setRecordVideoParm(ConfigParam param) { return setSize("recordVideo", param); }

bool AppConfig::setLiveParam(ConfigParam param) { return setSize("live", param); }

bool AppConfig::write() const {
    bool ok = writePrettyJson(path_, doc_);
    if (!ok) LOG(ERROR) << "write config file err " << path_;
    return ok;
}
