// Runs the built offset_updater program in the virtual camera on seeded
// "/etc/offset.conf" files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/process_util.h"
#include "offset/offset_param.h"
#include "support/camtest.h"

namespace {

const char* kConf = "/etc/offset.conf";
const char* kLog = "/tmp/offset_updater.log";

// Version 1, lens 1 not mirrored, and its origin.
const char* kOffsetV1 = "2_715_1000_30_1_2_3_720_700_20_10_20_5_2880_1440_256";
const char* kOriginV1 = "2_705_990_25_0.5_1_2_710_100_5_4_3_2_2880_1440_256";
// Both after the conversion.
const char* kOffsetV2 = "2_715_1000_30_1_2_3_720_3621.5_1424.2_190_-200_5_2880_1440_512";
const char* kOriginV2 = "2_705_990_25_0.5_1_2_710_-98.5_-0.8_184_-217_2_2880_1440_512";

struct Result {
    int status = -1;  // exit status, -1 when it did not exit normally
    std::string log;  // its standard error
};

Result runUpdater() {
    const char* build = getenv("VCAM_BUILD");
    const std::string program = build ? std::string(build) + "/bin/offset_updater" : "offset_updater";
    // The child's standard error goes to a file for the log checks.
    int saved = dup(2);
    int fd = open(kLog, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0);
    dup2(fd, 2);
    close(fd);
    int status = pnocamera::runProcess({program});
    dup2(saved, 2);
    close(saved);
    Result r;
    if (status >= 0 && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    r.log = camtest::readFile(kLog);
    return r;
}

std::string jsonFile(const std::string& offset_b64, const std::string& origin) {
    return "{\"defaultOffset\": \"" + offset_b64 + "\", \"origin\": \"" + origin + "\", \"language\": \"en_US\"}\n";
}

// The file as the updater rewrites it: pretty-printed, members in place.
std::string rewritten(const std::string& offset_text, const std::string& origin) {
    return "{\n    \"defaultOffset\": \"" + base64Encode(offset_text) + "\",\n    \"origin\": \"" + origin +
           "\",\n    \"language\": \"en_US\"\n}";
}

class OffsetUpdaterProgram : public testing::Test {
protected:
    void SetUp() override { camtest::removeFile(kConf); }
    void TearDown() override { chmod("/etc", 0755); }

    // Seeds the file, runs the updater and expects the status and an untouched file.
    void expectUntouched(const std::string& content, int status) {
        camtest::writeFile(kConf, content);
        Result r = runUpdater();
        EXPECT_EQ(status, r.status) << r.log;
        EXPECT_EQ(content, camtest::readFile(kConf));
    }
};

TEST_F(OffsetUpdaterProgram, ConvertsVersionOneInOneRewrite) {
    camtest::writeFile(kConf, jsonFile(base64Encode(kOffsetV1), kOriginV1));
    Result r = runUpdater();
    ASSERT_EQ(0, r.status) << r.log;
    EXPECT_EQ(rewritten(kOffsetV2, kOriginV2), camtest::readFile(kConf));
    EXPECT_NE(std::string::npos,
              r.log.find(std::string("before update default ") + kOffsetV1 + " version:1 lens_version:0\n"))
        << r.log;
    EXPECT_NE(std::string::npos,
              r.log.find(std::string("before update origin ") + kOriginV1 + " version:1 lens_version:0\n"));
    EXPECT_NE(std::string::npos,
              r.log.find(std::string("after update default ") + kOffsetV2 + " version:2 lens_version:0\n"));
    EXPECT_NE(std::string::npos,
              r.log.find(std::string("after update origin ") + kOriginV2 + " version:2 lens_version:0\n"));
    // No temporary file is left beside it.
    for (const auto& entry : std::filesystem::directory_iterator("/etc")) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.rfind("offset.conf", 0) != 0 || name == "offset.conf") << name;
    }

    // A second run finds version 2 and writes the same values again.
    r = runUpdater();
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(rewritten(kOffsetV2, kOriginV2), camtest::readFile(kConf));
}

TEST_F(OffsetUpdaterProgram, MirroredDataIsOnlyRelabelled) {
    const std::string offset = "2_1_2_3_4_5_6_700_1000_20_120_-150_5_2880_1440_256";
    camtest::writeFile(kConf, jsonFile(base64Encode(offset), kOriginV1));
    Result r = runUpdater();
    ASSERT_EQ(0, r.status) << r.log;
    EXPECT_EQ(rewritten("2_1_2_3_4_5_6_700_1000_20_120_-150_5_2880_1440_512",
                        "2_705_990_25_0.5_1_2_710_100_5_4_3_2_2880_1440_512"),
              camtest::readFile(kConf));
}

TEST_F(OffsetUpdaterProgram, LaterVersionIsWrittenInCanonicalForm) {
    // Padding missing from the base64, trailing zeros and text after the
    // version number: read leniently, written back canonical and unchanged.
    std::string encoded = base64Encode("2_1.500_2_3_4_5_6_7_8_9_10_11_12_2880_1440_513");
    ASSERT_EQ('=', encoded.back());
    while (encoded.back() == '=') encoded.pop_back();
    camtest::writeFile(kConf, jsonFile(encoded, "2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_513x"));
    Result r = runUpdater();
    ASSERT_EQ(0, r.status) << r.log;
    EXPECT_EQ(rewritten("2_1.5_2_3_4_5_6_7_8_9_10_11_12_2880_1440_513", "2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_513"),
              camtest::readFile(kConf));
}

TEST_F(OffsetUpdaterProgram, Base64StopsAtALineBreak) {
    // Without its closing "=" too, so the break follows a part group.
    std::string encoded = base64Encode(kOffsetV1);
    ASSERT_EQ('=', encoded.back());
    while (encoded.back() == '=') encoded.pop_back();
    camtest::writeFile(kConf, jsonFile(encoded + "\\nQUJDREVG", kOriginV1));
    Result r = runUpdater();
    ASSERT_EQ(0, r.status) << r.log;
    EXPECT_EQ(rewritten(kOffsetV2, kOriginV2), camtest::readFile(kConf));
}

TEST_F(OffsetUpdaterProgram, NothingConvertibleLeavesTheFileAsItWas) {
    // Version 0 (no version token): a canonical rewrite would turn it into version 1.
    expectUntouched(jsonFile(base64Encode("2_715_1000_30_1_2_3_720_700_20_10_20_5_2880_1440"),
                             "2_705_990_25_0.5_1_2_710_100_5_4_3_2_2880_1440"),
                    0);
    // One lens at version 1.
    expectUntouched(jsonFile(base64Encode("1_1.50_2_3_4_5_6_2880_1440_256"), "1_0_0_0_0_0_0_2880_1440_256"), 0);
}

TEST_F(OffsetUpdaterProgram, OffsetErrorsEndWithStatus13AndChangeNothing) {
    // Offset at version 1, origin at version 2.
    expectUntouched(jsonFile(base64Encode(kOffsetV1), "2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_512"), 13);
    // Frame sizes that differ.
    expectUntouched(jsonFile(base64Encode(kOffsetV1), "2_0_0_0_0_0_0_0_0_0_0_0_0_1440_1440_256"), 13);
    // No origin.
    expectUntouched("{\"defaultOffset\": \"" + base64Encode(kOffsetV1) + "\"}", 13);
    // No default offset.
    expectUntouched("{\"origin\": \"" + std::string(kOriginV1) + "\"}", 13);
    // A default offset that is no offset text, and one that is not base64.
    expectUntouched(jsonFile(base64Encode("2_0_0_0"), kOriginV1), 13);
    expectUntouched(jsonFile("!!!!", kOriginV1), 13);
    // An origin of another kind.
    expectUntouched("{\"defaultOffset\": \"" + base64Encode(kOffsetV1) + "\", \"origin\": 5}", 13);
}

TEST_F(OffsetUpdaterProgram, MissingFileIsCreatedEmpty) {
    Result r = runUpdater();
    EXPECT_EQ(13, r.status) << r.log;
    EXPECT_EQ("{}", camtest::readFile(kConf));
}

TEST_F(OffsetUpdaterProgram, FailedRewriteIsAConfigurationError) {
    const std::string content = jsonFile(base64Encode(kOffsetV1), kOriginV1);
    camtest::writeFile(kConf, content);
    // The rewrite needs a new file beside the old one.
    ASSERT_EQ(0, chmod("/etc", 0555));
    Result r = runUpdater();
    chmod("/etc", 0755);
    EXPECT_EQ(9, r.status) << r.log;
    EXPECT_EQ(content, camtest::readFile(kConf));
}

}  // namespace
