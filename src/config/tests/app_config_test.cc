#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "config/app_config.h"
#include "seeded_app_config.h"
#include "support/camtest.h"

namespace {

const char kPath[] = "/tmp/app_test.json";

AppConfig configWith(const std::string& text) {
    camtest::writeFile(kPath, text);
    return AppConfig(kPath);
}

std::string errorOf(const std::function<void()>& f) { return camtest::thrownText<ConfigError>(f, "no error"); }

TEST(AppConfig, ReadsTheSeededCameraConfiguration) { expectSeededAppConfig(); }

TEST(AppConfig, FileErrors) {
    EXPECT_EQ(errorOf([] { AppConfig c("/tmp/missing.json"); }), "open config file err...");
    for (const char* text : {"", "[1,2]", "{\"a\":1} {\"b\":2}", "{\"a\":"}) {
        EXPECT_EQ(errorOf([text] { configWith(text); }), "file format error ...") << text;
    }
}

TEST(AppConfig, RgbRatioDefaultsWhenMissingOrIncomplete) {
    for (const char* text : {"{}", R"({"rgbRatio":{"rRatio":90,"gRatio":80}})", R"({"rgbRatio":[1,2,3]})"}) {
        camtest::LogCapture log;
        AppConfig config = configWith(text);
        uint32_t ratio[3] = {1, 2, 3};
        config.queryRGBRatio(ratio);
        EXPECT_EQ(ratio[0], 100u);
        EXPECT_EQ(ratio[1], 100u);
        EXPECT_EQ(ratio[2], 100u);
        EXPECT_EQ(log.count(google::GLOG_INFO, "no valid config for rgbRatio, default to 100%"), 1) << text;
    }
    AppConfig config = configWith(R"({"rgbRatio":{"rRatio":90,"gRatio":80,"bRatio":110}})");
    uint32_t ratio[3] = {0, 0, 0};
    config.queryRGBRatio(ratio);
    EXPECT_EQ(ratio[0], 90u);
    EXPECT_EQ(ratio[1], 80u);
    EXPECT_EQ(ratio[2], 110u);
}

TEST(AppConfig, JobQueriesFillTheirFieldsOnly) {
    AppConfig config = configWith(R"({
        "live": {"width": 960, "height": 960, "bitrate": 4000, "mode": 3},
        "preview": {"width": 1440, "height": 1440, "bitrate": 2000, "mode": 1, "scale": 2},
        "recordVideo": {"width": 1920, "height": 1920, "bitrate": 9000, "mode": 2, "scale": 7}})");
    ConfigParam live;
    config.queryLiveParam(live);
    EXPECT_EQ(live.width, 960);
    EXPECT_EQ(live.bitrate, 4000);
    EXPECT_EQ(live.mode, 3);
    EXPECT_EQ(live.scale, 1);

    ConfigParam preview;
    config.queryPreviewParam(preview);
    EXPECT_EQ(preview.scale, 2);

    ConfigParam record;
    record.scale = 5;
    config.queryRecordParam(record);
    EXPECT_EQ(record.width, 1920);
    EXPECT_EQ(record.scale, 5) << "recordVideo has no scale field";
}

TEST(AppConfig, MissingMembersThrowAfterTheirLogLine) {
    AppConfig config = configWith(R"({"takePhoto":{"width":1440,"height":1440},
        "live":{"width":"960","height":960,"bitrate":1,"mode":0},
        "cameraNum":2.0, "orientation":5, "language":1, "setting":{}})");
    camtest::LogCapture log;
    ConfigParam photo;
    photo.width = 7;
    EXPECT_EQ(errorOf([&] { config.queryTakePhotoParam(photo); }), "take photo config err");
    EXPECT_EQ(log.count(google::GLOG_ERROR, "query take photo err"), 1);
    EXPECT_EQ(photo.width, 7) << "record must stay untouched";

    // A member of another JSON type is a configuration error, never a crash.
    ConfigParam live;
    EXPECT_EQ(errorOf([&] { config.queryLiveParam(live); }), "live config err");
    EXPECT_EQ(errorOf([&] { config.queryRecordPreviewParam(live); }), "record preview config err");
    EXPECT_EQ(log.count(google::GLOG_ERROR, "query record preview err"), 1);

    EXPECT_EQ(errorOf([&] { config.queryCameraNum(); }), "cameranum config err");
    EXPECT_EQ(errorOf([&] { config.queryOrientation(); }), "orientation config err");
    EXPECT_EQ(log.count(google::GLOG_ERROR, "query orientation err "), 1);
    EXPECT_EQ(errorOf([&] { config.defaultLanguage(); }), "language type is not String");
    std::vector<int> items;
    EXPECT_EQ(errorOf([&] { config.querySettingItem(items); }), "setting type is not array ");

    AppConfig empty = configWith("{}");
    EXPECT_EQ(errorOf([&] { empty.defaultLanguage(); }), "no member language ");
    EXPECT_EQ(errorOf([&] { empty.querySettingItem(items); }), "no member setting ");
}

TEST(AppConfig, SettingItemsAppend) {
    AppConfig config = configWith(R"({"setting":[960,1440]})");
    std::vector<int> items = {5};
    config.querySettingItem(items);
    EXPECT_EQ(items, (std::vector<int>{5, 960, 1440}));
}

TEST(AppConfig, WriteBackKeepsEveryOtherMemberInOrder) {
    AppConfig config =
        configWith(R"({"zeta":[1,2],"recordVideo":{"width":1440,"height":1440,"bitrate":5,"mode":0},"x":{}})");
    ConfigParam p;
    p.width = 1920;
    p.height = 960;
    EXPECT_TRUE(config.setRecordVideoParm(p));
    EXPECT_EQ(camtest::readFile(kPath),
              "{\n"
              "    \"zeta\": [\n"
              "        1,\n"
              "        2\n"
              "    ],\n"
              "    \"recordVideo\": {\n"
              "        \"width\": 1920,\n"
              "        \"height\": 960,\n"
              "        \"bitrate\": 5,\n"
              "        \"mode\": 0\n"
              "    },\n"
              "    \"x\": {}\n"
              "}");
    EXPECT_EQ(errorOf([&] { config.setLiveParam(p); }), "no member live ");
    AppConfig bad = configWith(R"({"live":{"width":1},"recordVideo":3})");
    EXPECT_EQ(errorOf([&] { bad.setLiveParam(p); }), "live has no height");
    EXPECT_EQ(errorOf([&] { bad.setRecordVideoParm(p); }), "recordVideo type is not object");
    EXPECT_EQ(camtest::readFile(kPath), R"({"live":{"width":1},"recordVideo":3})");
}

TEST(AppConfig, FailedWriteBackIsReported) {
    AppConfig config = configWith(R"({"live":{"width":1,"height":2}})");
    unlink(kPath);
    mkdir(kPath, 0755);  // a folder now stands where the file was
    ConfigParam p;
    p.width = 960;
    p.height = 960;
    EXPECT_FALSE(config.setLiveParam(p));
    rmdir(kPath);
}

}  // namespace
