// Read access to the application configuration ("/etc/appConfig.json") and
// write-back of the record and live sizes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "config/config_error.h"

struct ConfigParam {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitrate = 0;
    int32_t scale = 1;
    int32_t mode = 0;
};

class AppConfig {
public:
    explicit AppConfig(const std::string& path);

    int32_t queryCameraNum() const;
    std::string queryOrientation() const;
    void queryTakePhotoParam(ConfigParam& param) const;
    void queryRecordParam(ConfigParam& param) const;
    void queryLiveParam(ConfigParam& param) const;
    void queryPreviewParam(ConfigParam& param) const;
    void queryRecordPreviewParam(ConfigParam& param) const;
    void queryRGBRatio(uint32_t* ratio);
    std::string defaultLanguage() const;
    void querySettingItem(std::vector<int>& items) const;
    // The whole configuration as read (member order as in the file).
    const rapidjson::Value& root() const { return doc_; }

    // Store width and height and rewrite the file; false when the file could
    // not be rewritten (the in-memory values are set either way).
    bool setRecordVideoParm(ConfigParam param);
    bool setLiveParam(ConfigParam param);

private:
    void queryJobParam(const char* name, bool with_bitrate, bool with_scale, const char* log_text,
                       const char* error_text, ConfigParam& param) const;
    bool setSize(const char* name, const ConfigParam& param);
    bool write() const;

    std::string path_;
    rapidjson::Document doc_;
};
