#include <unistd.h>

#include <gtest/gtest.h>

#include "config/config_error.h"
#include "config/config_paths.h"
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
        saved_ = camtest::readFile(camera_paths::kAppConfig);
        unlink(camera_paths::kOffsetConf);
    }
    void TearDown() override { camtest::writeFile(camera_paths::kAppConfig, saved_); }
    std::string saved_;
};

TEST_F(UserConfigTest, DefaultComesFromAppConfigWhileNothingIsStored) {
    camtest::writeFile(camera_paths::kAppConfig, R"({"language": "zh_CN"})");
    camtest::LogCapture log;
    EXPECT_EQ(UserConfig().queryLanguage(), UserConfig::Chinese);
    EXPECT_EQ(log.count(google::GLOG_INFO, "query lang setting using default config"), 1);
    EXPECT_EQ(camtest::readFile(camera_paths::kOffsetConf), "{}");

    for (const char* stored : {R"({"language": ""})", R"({"language": 5})"}) {
        camtest::writeFile(camera_paths::kOffsetConf, stored);
        EXPECT_EQ(UserConfig().queryLanguage(), UserConfig::Chinese) << stored;
    }
}

TEST_F(UserConfigTest, StoredLanguageWinsWithoutReadingAppConfig) {
    unlink(camera_paths::kAppConfig);
    camtest::writeFile(camera_paths::kOffsetConf, R"({"language": "en_US"})");
    EXPECT_EQ(UserConfig().queryLanguage(), UserConfig::English);
    camtest::writeFile(camera_paths::kOffsetConf, R"({"language": "ZH_cn"})");
    EXPECT_EQ(UserConfig().queryLanguage(), UserConfig::English) << "unknown codes give English";
}

TEST_F(UserConfigTest, SetThenQuery) {
    UserConfig user;
    user.setLanguage(UserConfig::Chinese);
    EXPECT_EQ(user.queryLanguage(), UserConfig::Chinese);
    EXPECT_EQ(PropertyConfig(camera_paths::kOffsetConf).queryProperty("language"), "zh_CN");
}

TEST_F(UserConfigTest, MissingDefaultPassesTheConfigError) {
    camtest::writeFile(camera_paths::kAppConfig, "{}");
    EXPECT_THROW(UserConfig().queryLanguage(), ConfigError);
}

}  // namespace
