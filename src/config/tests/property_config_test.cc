#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "config/property_config.h"
#include "support/camtest.h"

namespace {

const char kPath[] = "/tmp/prop_test.conf";

class PropertyConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        unlink(kPath);
        unlink((std::string(kPath) + ".bad").c_str());
    }
};

TEST_F(PropertyConfigTest, NewFileBecomesEmptyObject) {
    camtest::LogCapture log;
    PropertyConfig config(kPath);
    EXPECT_EQ(log.count(google::GLOG_INFO, "reset property config to json object"), 1);
    EXPECT_EQ(camtest::readFile(kPath), "{}");
    EXPECT_FALSE(camtest::exists(std::string(kPath) + ".bad")) << "nothing to keep from an empty file";
}

TEST_F(PropertyConfigTest, DamagedContentIsResetButKeptBeside) {
    for (const char* text : {"[1,2]", "{\"origin\": \"x\""}) {
        camtest::writeFile(kPath, text);
        PropertyConfig config(kPath);
        EXPECT_EQ(camtest::readFile(kPath), "{}");
        EXPECT_EQ(camtest::readFile(std::string(kPath) + ".bad"), text);
    }
}

TEST_F(PropertyConfigTest, SetAppendsOrReplacesInPlace) {
    camtest::writeFile(kPath, R"({"origin": "x", "n": 3, "o": {"a": 1}})");
    PropertyConfig config(kPath);
    config.setProperty("language", "en_US");
    config.setProperty("n", "three");
    config.setProperty("o", "flat");
    EXPECT_EQ(camtest::readFile(kPath),
              "{\n    \"origin\": \"x\",\n    \"n\": \"three\",\n    \"o\": \"flat\",\n"
              "    \"language\": \"en_US\"\n}");
    EXPECT_EQ(PropertyConfig(kPath).queryProperty("language"), "en_US");
}

TEST_F(PropertyConfigTest, QueryOfOtherTypesIsEmpty) {
    camtest::writeFile(kPath, R"({"count": 3, "s": "v"})");
    PropertyConfig config(kPath);
    EXPECT_EQ(config.queryProperty("count"), "");
    EXPECT_EQ(config.queryProperty("missing"), "");
    EXPECT_EQ(config.queryProperty("s"), "v");
    EXPECT_EQ(config.queryProperty<int>("count"), 3);
    EXPECT_EQ(config.queryProperty<int>("s"), 0);
}

TEST_F(PropertyConfigTest, SeveralMembersInOneRewriteKeepPermissions) {
    camtest::writeFile(kPath, R"({"origin": "a"})");
    chmod(kPath, 0640);
    PropertyConfig config(kPath);
    EXPECT_TRUE(config.setProperties({{"defaultOffset", "b64"}, {"origin", "b"}}));
    EXPECT_EQ(camtest::readFile(kPath), "{\n    \"origin\": \"b\",\n    \"defaultOffset\": \"b64\"\n}");
    struct stat st;
    ASSERT_EQ(stat(kPath, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(PropertyConfigTest, FailedRewriteLeavesTheOldFileAndReportsIt) {
    mkdir("/tmp/propdir", 0755);
    const std::string path = "/tmp/propdir/p.conf";
    camtest::writeFile(path, R"({"origin": "keep"})");
    PropertyConfig config(path);
    // No temporary file can be made once the folder is a file's place.
    unlink(path.c_str());
    rmdir("/tmp/propdir");
    EXPECT_FALSE(config.setProperties({{"origin", "new"}}));
    EXPECT_FALSE(camtest::exists(path));
}

// The bound stops growth only: within it anything goes, past it a file
// (compact or pretty-printed) can still shrink or keep its size.
TEST_F(PropertyConfigTest, SetWithinABoundLetsAnOversizedFileShrink) {
    EXPECT_TRUE(PropertyConfig(kPath).setPropertyWithin("a", std::string(100, 'a'), 200));
    PropertyConfig full(kPath);
    EXPECT_FALSE(full.setPropertyWithin("b", std::string(100, 'b'), 200));
    EXPECT_EQ(full.error(), "file too large");
    EXPECT_EQ(camtest::readFile(kPath), "{\n    \"a\": \"" + std::string(100, 'a') + "\"\n}");

    for (const std::string& big : {"{\"big\":\"" + std::string(1000, 'x') + "\",\"n\":\"1\"}",
                                   "{\n    \"big\": \"" + std::string(1000, 'x') + "\",\n    \"n\": \"1\"\n}"}) {
        camtest::writeFile(kPath, big);
        PropertyConfig grow(kPath);
        EXPECT_FALSE(grow.setPropertyWithin("n", "12", 200)) << big;
        EXPECT_FALSE(grow.setPropertyWithin("new", "", 200)) << big;
        EXPECT_EQ(camtest::readFile(kPath), big);
        EXPECT_TRUE(PropertyConfig(kPath).setPropertyWithin("n", "2", 200)) << "the same size";
        EXPECT_EQ(PropertyConfig(kPath).queryProperty("n"), "2");
        EXPECT_TRUE(PropertyConfig(kPath).setPropertyWithin("big", "small", 200));
        EXPECT_EQ(camtest::readFile(kPath), "{\n    \"big\": \"small\",\n    \"n\": \"2\"\n}");
    }
}

TEST_F(PropertyConfigTest, DeleterIgnoresNull) {
    std::unique_ptr<PropertyConfig, PropertyConfigDeleter> none(nullptr);
    std::unique_ptr<PropertyConfig, PropertyConfigDeleter> some(new PropertyConfig(kPath));
    some.reset();
    EXPECT_EQ(camtest::readFile(kPath), "{}");
}

// A file that cannot be opened never ends the process: queries read
// nothing, a set fails with the system's text.
TEST(PropertyConfigUnopenable, QueriesEmptySetsFail) {
    camtest::LogCapture log;
    PropertyConfig config("/nonexistent/dir/x.conf");
    EXPECT_TRUE(log.contains("open config file err:/nonexistent/dir/x.conf"));
    EXPECT_EQ(config.queryProperty("k"), "");
    EXPECT_FALSE(config.setProperty("k", "v"));
    EXPECT_EQ(config.error(), "No such file or directory");
    EXPECT_FALSE(camtest::exists("/nonexistent/dir/x.conf"));
}

}  // namespace
