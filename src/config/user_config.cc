#include "config/user_config.h"

#include <glog/logging.h>

#include "config/app_config.h"
#include "config/config_paths.h"
#include "config/property_config.h"

const std::map<UserConfig::Language, std::string> UserConfig::lang_string_map_ = {
    {UserConfig::Chinese, "zh_CN"},
    {UserConfig::English, "en_US"},
};

void UserConfig::setLanguage(Language lang) {
    PropertyConfig config(camera_paths::kOffsetConf);
    config.setProperty("language", lang_string_map_.at(lang).c_str());
}

UserConfig::Language UserConfig::queryLanguage() const {
    std::string text = PropertyConfig(camera_paths::kOffsetConf).queryProperty("language");
    if (text.empty()) {
        LOG(INFO) << "query lang setting using default config";
        text = AppConfig(camera_paths::kAppConfig).defaultLanguage();
    }
    for (auto& entry : lang_string_map_)
        if (entry.second == text) return entry.first;
    return English;
}
