// The on-screen menu language: stored in "/etc/offset.conf", with the
// application configuration's default while nothing is stored.
#pragma once

#include <map>
#include <string>

class UserConfig {
public:
    enum Language { Chinese = 0, English = 1 };

    void setLanguage(Language lang);
    Language queryLanguage() const;

    static const std::map<Language, std::string> lang_string_map_;
};
