#include <unistd.h>

#include <gtest/gtest.h>

#include "config/config_error.h"
#include "config/property_config.h"
#include "config/resolution_config.h"
#include "config/user_config.h"
#include "support/camtest.h"

namespace {

TEST(ResolutionConfig, TableRowsAndRefusals) {
    ResolutionConfig config;
    ResolutionParam p = config.queryResolution(1440);
    EXPECT_EQ(p.id, 1440);
    EXPECT_EQ(p.name, "3K");
    EXPECT_EQ(p.badge_icon, 24);
    EXPECT_EQ(p.list_icon, 48);
    EXPECT_EQ(config.queryResolution(960).name, config.queryResolution(1088).name);
    EXPECT_EQ(config.queryResolution(1920).list_icon, 50);
    EXPECT_EQ(config.queryResolution(2048).badge_icon, 25);
    EXPECT_EQ(config.queryResolution(1360).name, "2K7");
    EXPECT_THROW(config.queryResolution(1000), UnsupportedResolution);
    EXPECT_THROW(config.check(0), UnsupportedResolution);
    try {
        config.check(-1);
        FAIL();
    } catch (const UnsupportedResolution& e) {
        EXPECT_STREQ(e.what(), " resolution -1 not supported");
    }
}

class UserConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = camtest::readFile("/etc/appConfig.json");
        unlink("/etc/offset.conf");
    }
    void TearDown() override { camtest::writeFile("/etc/appConfig.json", saved_); }
    std::string saved_;
};

TEST_F(UserConfigTest, DefaultComesFromAppConfigWhileNothingIsStored) {
    camtest::writeFile("/etc/appConfig.json", R"({"language": "zh_CN"})");
    camtest::LogCapture log;
    EXPECT_EQ(UserConfig().queryLanguage(), UserConfig::Chinese);
    EXPECT_EQ(log.count(google::GLOG_INFO, "query lang setting using default config"), 1);
    EXPECT_EQ(camtest::readFile("/etc/offset.conf"), "{}");

    for (const char* stored : {R"({"language": ""})", R"({"language": 5})"}) {
        camtest::writeFile("/etc/offset.conf", stored);
        EXPECT_EQ(UserConfig().queryLanguage(), UserConfig::Chinese) << stored;
    }
}

TEST_F(UserConfigTest, StoredLanguageWinsWithoutReadingAppConfig) {
    unlink("/etc/appConfig.json");
    camtest::writeFile("/etc/offset.conf", R"({"language": "en_US"})");
    EXPECT_EQ(UserConfig().queryLanguage(), UserConfig::English);
    camtest::writeFile("/etc/offset.conf", R"({"language": "ZH_cn"})");
    EXPECT_EQ(UserConfig().queryLanguage(), UserConfig::English) << "unknown codes give English";
}

TEST_F(UserConfigTest, SetThenQuery) {
    UserConfig user;
    user.setLanguage(UserConfig::Chinese);
    EXPECT_EQ(user.queryLanguage(), UserConfig::Chinese);
    EXPECT_EQ(PropertyConfig("/etc/offset.conf").queryProperty("language"), "zh_CN");
}

TEST_F(UserConfigTest, MissingDefaultPassesTheConfigError) {
    camtest::writeFile("/etc/appConfig.json", "{}");
    EXPECT_THROW(UserConfig().queryLanguage(), ConfigError);
}

}  // namespace
