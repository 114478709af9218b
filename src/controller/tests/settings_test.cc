// Stored settings and the card under hostile clients and broken storage, end
// to end: the real controller in the virtual camera over TCP, with the files
// under /etc, the card and the stand-ins' calls checked afterwards.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "config/config_paths.h"
#include "support/camtest.h"
#include "support/vcam_session.h"

using camtest::Client;
using camtest::Process;
using camtest::readFile;
using camtest::refusal;
using camtest::reply;
using camtest::sh;
using camtest::stateChanged;
using camtest::waitFor;
using camtest::writeFile;

namespace {

using camera_paths::kApConf;
const std::string kApText =
    "interface=wlan0\nssid=panor00000\nchannel=6\nignore_broadcast_ssid=0\nwpa_passphrase=Vorpa517\n";

std::string request(const std::string& cmd, const std::string& data) {
    return "{\"cmd\":\"" + cmd + "\",\"data\":" + data + "}\n";
}

// True when line is one JSON object in valid UTF-8.
bool strictJson(const std::string& line) {
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseValidateEncodingFlag>(line.c_str(), line.size());
    return !doc.HasParseError() && doc.IsObject();
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        sh("find /sdcard /log -mindepth 1 -delete");
        writeFile(kApConf, kApText);
        for (const char* p : {"umount", "mount"}) sh(std::string("vcam-standin --clear ") + p);
        camtest::clearCalls();
    }
    void TearDown() override {
        if (ctl_.pid > 0) camtest::stopController(ctl_);
        chmod("/etc", 0755);
        chmod(camera_paths::kOffsetConf, 0644);
        for (const char* p : {"umount", "mount"}) system((std::string("vcam-standin --clear ") + p).c_str());
        system("vcam-battery --vbus 0 >/dev/null 2>&1");
    }
    void start() { ASSERT_TRUE(camtest::startController(ctl_)) << ctl_.output(); }
    std::string log() const { return ctl_.output(); }
    std::string ask(Client& c, const std::string& line) {
        EXPECT_TRUE(c.send(line));
        return c.readLine(std::chrono::seconds(10));
    }
    Process ctl_;
};

TEST_F(SettingsTest, SetIdChangesOnlyTheSsidLine) {
    start();
    Client phone;
    // a passphrase that holds "ssid=" is no ssid line
    EXPECT_EQ(ask(phone, request("changeAPPassword", "{\"password\":\"myssid=secret1\"}")),
              reply("changeAPPasswordResult", true));
    const std::string rest_head = "interface=wlan0\nssid=";
    const std::string rest_tail = "\nchannel=6\nignore_broadcast_ssid=0\nwpa_passphrase=myssid=secret1\n";
    EXPECT_EQ(ask(phone, request("setID", "{\"ID\":\"PANO0A0001\"}")), reply("setIDResult", true));
    EXPECT_EQ(readFile(kApConf), rest_head + "panorA0001" + rest_tail);
    // sed's characters and shell text stay as they are, in one argument
    EXPECT_EQ(ask(phone, request("setID", "{\"ID\":\"$(touch${IFS}/tmp/pwned)`id`;a/&\\\\D\"}")),
              reply("setIDResult", true));
    EXPECT_EQ(readFile(kApConf), rest_head + "panora/&\\D" + rest_tail);
    EXPECT_FALSE(camtest::exists("/tmp/pwned"));
    // a terminal control beyond ASCII is stored but logged escaped
    EXPECT_EQ(ask(phone, request("setID", "{\"ID\":\"PANO\\u009b2JA0001\"}")), reply("setIDResult", true));
    EXPECT_NE(log().find("set ID:PANO\\xC2\\x9B2JA0001\n"), std::string::npos) << log();
    EXPECT_EQ(ask(phone, request("setID", "{\"ID\":\"PANO0A0002\"}")), reply("setIDResult", true));
    const std::string kept = readFile(kApConf);
    EXPECT_EQ(kept, rest_head + "panorA0002" + rest_tail);
    const std::string id = readFile(camera_paths::kIdConf);
    // names the access point cannot carry: nothing stored, however often
    for (int round = 0; round < 3; ++round) {
        for (const char* bad : {"PANO0A,0003", "PANO0,,,,,", "PANO0A 0003", "PANO 0A0003", "PANO0A\\t003",
                                "PANO0A0\\u00e9", "PANO0A\\u00e9\\u00e9", "PANO\\u007f0A0003"}) {
            EXPECT_EQ(ask(phone, request("setID", std::string("{\"ID\":\"") + bad + "\"}")),
                      refusal("setIDResult", "invalid id"))
                << bad;
        }
    }
    EXPECT_EQ(readFile(kApConf), kept);
    EXPECT_EQ(readFile(camera_paths::kIdConf), id);
}

TEST_F(SettingsTest, UnwritableFilesNeverEndTheDaemon) {
    writeFile(camera_paths::kOffsetConf, "{\"defaultOffset\": \"abc\", \"photoCount\": 3, \"videoCount\": 2}");
    unlink(camera_paths::kUserConf);
    start();
    Client phone;
    // each file opened for a query or a set logs its error
    for (const std::string f : {camera_paths::kOffsetConf, camera_paths::kUserConf}) {
        camtest::expectErrorLine(f + " Permission denied");
        camtest::expectErrorLine(f + " err Permission denied");
    }
    ASSERT_EQ(chmod(camera_paths::kOffsetConf, 0444), 0);
    EXPECT_EQ(ask(phone, "{\"cmd\":\"queryStatistic\"}\n"),
              "{\"type\":\"queryStatisticResult\",\"code\":true,\"data\":{\"photoCount\":3,\"videoCount\":2}}");
    // /etc read-only: queries read, sets answer the system's text
    ASSERT_EQ(chmod("/etc", 0555), 0);
    EXPECT_EQ(ask(phone, request("setUserProperty", "{\"key\":\"owner\",\"value\":\"x\"}")),
              refusal("setUserPropertyResult", "Permission denied"));
    EXPECT_EQ(ask(phone, request("queryUserProperty", "{\"key\":\"owner\"}")),
              "{\"type\":\"queryUserPropertyResult\",\"code\":true,\"data\":{\"key\":\"owner\",\"value\":\"\"}}");
    EXPECT_EQ(ask(phone, request("setOffset", "{\"key\":\"defaultOffset\",\"value\":\"new\"}")),
              refusal("setOffsetResult", "Permission denied"));
    EXPECT_EQ(ask(phone, request("queryOffset", "{\"key\":\"defaultOffset\"}")),
              "{\"type\":\"queryOffsetResult\",\"code\":true,\"data\":{\"key\":\"defaultOffset\",\"value\":\"abc\"}}");
    // the id and the access point's settings cannot be stored either
    camtest::expectErrorLine("write /etc/ID.conf err");
    camtest::expectErrorLine("sed on /etc/rtl_hostapd_2G.conf failed");
    std::string id_before = camtest::readFile(camera_paths::kIdConf);
    std::string ap_before = camtest::readFile(camera_paths::kApConf);
    EXPECT_EQ(ask(phone, request("setID", "{\"ID\":\"PANO00042\"}")), refusal("setIDResult", "id not stored"));
    EXPECT_EQ(ask(phone, request("changeAPPassword", "{\"password\":\"secret123\"}")),
              refusal("changeAPPasswordResult", "access point not configured"));
    EXPECT_EQ(camtest::readFile(camera_paths::kIdConf), id_before);
    EXPECT_EQ(camtest::readFile(camera_paths::kApConf), ap_before);
    EXPECT_EQ(ask(phone, "{\"cmd\":\"heartTest\"}\n"), reply("heartTestResult", true));
    EXPECT_EQ(kill(ctl_.pid, 0), 0);
    EXPECT_FALSE(camtest::exists(camera_paths::kUserConf));
}

TEST_F(SettingsTest, RefusedTimeTextsAnswerFalse) {
    camtest::expectErrorLine("refused time text ");
    start();
    Client phone;
    for (const char* bad : {"", "-s 2020-01-01", "--set=2020", "2020-01-01\\n-s", "2020\\r01"}) {
        EXPECT_EQ(ask(phone, request("syncTime", std::string("{\"time\":\"") + bad + "\"}")),
                  refusal("syncTimeResult", "invalid time"))
            << bad;
    }
    for (const std::string& c : camtest::calls()) {
        EXPECT_NE(c.rfind("date", 0), 0u) << c;
        EXPECT_NE(c.rfind("hwclock", 0), 0u) << c;
    }
    EXPECT_EQ(ask(phone, request("syncTime", "{\"time\":\"2026-01-02 03:04:05\"}")), reply("syncTimeResult", true));
}

// date itself refuses a text that is no time: the client hears so, and the
// hardware clock is not written from a clock that was never set.
TEST_F(SettingsTest, TimeTextsDateRefusesAnswerFalse) {
    unlink("/var/run/date.set");
    start();
    Client phone;
    auto clockCalls = [] {
        std::vector<std::string> out;
        for (const std::string& c : camtest::calls()) {
            if (c.rfind("date", 0) == 0 || c.rfind("hwclock", 0) == 0) out.push_back(c);
        }
        return out;
    };
    EXPECT_EQ(ask(phone, request("syncTime", "{\"time\":\"2026-01-02 03:04:05\"}")), reply("syncTimeResult", true));
    EXPECT_EQ(clockCalls(), (std::vector<std::string>{"date '2026-01-02 03:04:05'", "hwclock -w"}));
    EXPECT_EQ(readFile("/var/run/date.set"), "2026-01-02 03:04:05\n");

    camtest::expectErrorLine("date refused the time text, status ");
    for (const char* bad : {"not a time", "2026-13-45 99:99"}) {
        camtest::clearCalls();
        EXPECT_EQ(ask(phone, request("syncTime", std::string("{\"time\":\"") + bad + "\"}")),
                  refusal("syncTimeResult", "invalid time"))
            << bad;
        EXPECT_EQ(clockCalls(), (std::vector<std::string>{"date '" + std::string(bad) + "'"})) << bad;
    }
    // a text with terminal controls: refused, the clocks as they were
    EXPECT_EQ(ask(phone, request("syncTime", "{\"time\":\"\\u001b[2J2026\"}")),
              refusal("syncTimeResult", "invalid time"));
    EXPECT_EQ(readFile("/var/run/date.set"), "2026-01-02 03:04:05\n");
    EXPECT_EQ(ask(phone, "{\"cmd\":\"heartTest\"}\n"), reply("heartTestResult", true));
}

// A user file that older firmware let grow past today's bound: sets that
// would grow it further are refused, one that shrinks it goes through.
TEST_F(SettingsTest, OversizedUserFileCanStillShrink) {
    const std::string big(1900 * 1024, 'b');
    const std::string seeded = "{\n    \"owner\": \"Zoe\",\n    \"notes\": \"" + big + "\"\n}";
    writeFile(camera_paths::kUserConf, seeded);
    start();
    Client phone;
    camtest::expectErrorLine("set property in /etc/user.conf err file too large");
    EXPECT_EQ(ask(phone, request("setUserProperty", "{\"key\":\"city\",\"value\":\"Oslo\"}")),
              refusal("setUserPropertyResult", "file too large"));
    EXPECT_EQ(ask(phone, request("setUserProperty", "{\"key\":\"owner\",\"value\":\"Zoey\"}")),
              refusal("setUserPropertyResult", "file too large"));
    EXPECT_EQ(readFile(camera_paths::kUserConf), seeded);
    EXPECT_EQ(ask(phone, request("setUserProperty", "{\"key\":\"owner\",\"value\":\"Max\"}")),
              reply("setUserPropertyResult", true));
    EXPECT_EQ(readFile(camera_paths::kUserConf).size(), seeded.size());
    EXPECT_EQ(ask(phone, request("setUserProperty", "{\"key\":\"notes\",\"value\":\"short\"}")),
              reply("setUserPropertyResult", true));
    EXPECT_EQ(readFile(camera_paths::kUserConf), "{\n    \"owner\": \"Max\",\n    \"notes\": \"short\"\n}");
    // small again: new members find room
    EXPECT_EQ(ask(phone, request("setUserProperty", "{\"key\":\"city\",\"value\":\"Oslo\"}")),
              reply("setUserPropertyResult", true));
}

TEST_F(SettingsTest, RepliesStayUtf8) {
    writeFile("/sdcard/good.pnop", "g");
    writeFile("/sdcard/bad\xff.pnop", "b");
    // a name that also holds a line end and a log record's head
    const std::string forged = "E20261209 00:00:00.000000 4 fake.cc:1] forged line";
    writeFile("/sdcard/bad\xfe\n" + forged + ".pnop", "b");
    writeFile("/log/bad\xc3.log", "b");
    writeFile("/log/good.log", "g");
    // an id file of an older firmware with a byte that is not UTF-8
    writeFile(camera_paths::kIdConf,
              "PANO\xfe"
              "1");
    start();
    Client phone;
    std::string line = ask(phone, "{\"cmd\":\"listFile\"}\n");
    EXPECT_TRUE(strictJson(line)) << line;
    EXPECT_NE(line.find("\"good.pnop\""), std::string::npos);
    EXPECT_EQ(line.find("bad"), std::string::npos);
    line = ask(phone, "{\"cmd\":\"listLog\"}\n");
    EXPECT_TRUE(strictJson(line)) << line;
    EXPECT_NE(line.find("\"good.log\""), std::string::npos);
    EXPECT_EQ(line.find("bad"), std::string::npos);
    EXPECT_TRUE(waitFor([&] { return camtest::countOf(log(), "file name not UTF-8 left out of the list") == 3; }))
        << log();
    EXPECT_NE(log().find("left out of the list: /sdcard/bad\\xFE\\x0A" + forged + ".pnop\n"), std::string::npos)
        << log();
    EXPECT_EQ(camtest::countOf(log(), "\n" + forged), 0u);
    line = ask(phone, "{\"cmd\":\"queryID\"}\n");
    EXPECT_TRUE(strictJson(line)) << line;
    EXPECT_EQ(line,
              "{\"type\":\"queryIDResult\",\"code\":true,\"data\":{\"id\":\"PANO\xef\xbf\xbd"
              "1\"}}");

    // client texts that are not UTF-8, as raw bytes or as escapes: nothing
    // stored, nothing echoed
    camtest::expectErrorLine("parse_err Invalid encoding in string.");
    const std::string offset = readFile(camera_paths::kOffsetConf);
    const std::string id = readFile(camera_paths::kIdConf);
    ASSERT_TRUE(phone.send(request("setOffset", "{\"key\":\"k\xff\",\"value\":\"v\"}") +
                           request("setOffset", "{\"key\":\"k\",\"value\":\"\\udcff\"}") +
                           request("setOffset", "{\"key\":\"k\",\"value\":\"\xc0\xaf\"}") +
                           request("queryOffset", "{\"key\":\"k\xed\xa0\x80\"}") +
                           request("setUserProperty", "{\"key\":\"k\",\"value\":\"\xf4\x90\x80\x80\"}") +
                           request("setID", "{\"ID\":\"PANO0\xff\xfe\xfd\xfc\xfb\"}") + "{\"cmd\":\"heartTest\"}\n"));
    // lines are handled in order: the answer to the last one, with nothing
    // before it, tells that all before it were handled
    EXPECT_EQ(phone.readLine(std::chrono::seconds(10)), reply("heartTestResult", true));
    EXPECT_EQ(readFile(camera_paths::kOffsetConf), offset);
    EXPECT_EQ(readFile(camera_paths::kIdConf), id);
    EXPECT_FALSE(camtest::exists(camera_paths::kUserConf) &&
                 readFile(camera_paths::kUserConf).find("\"k\"") != std::string::npos);
    EXPECT_EQ(ask(phone, request("setOffset", "{\"key\":\"k\",\"value\":\"Zo\\u00eb \xe2\x82\xac\"}")),
              reply("setOffsetResult", true));
}

TEST_F(SettingsTest, NonPositiveLiveSettingsTakeTheDefaults) {
    start();
    Client phone;
    ASSERT_TRUE(phone.send(request("startLive", "{\"width\":-1,\"height\":-1,\"bitrate\":-1}")));
    EXPECT_EQ(phone.readUntil("startLiveResult"), reply("startLiveResult", true));
    EXPECT_TRUE(waitFor([] {
        return camtest::called(
            "realTimeStillGrab 2 true 960 960 rtmp://127.0.0.1/live/panorbit 4000000 0 h 1 100 100 100");
    })) << ::testing::PrintToString(camtest::calls());
    for (const std::string& c : camtest::calls()) EXPECT_EQ(c.find("-1"), std::string::npos) << c;
    EXPECT_EQ(phone.readUntil("prepareOK"), camtest::prepareOK(3));
    ASSERT_TRUE(phone.send("{\"cmd\":\"stopLive\"}\n"));
    EXPECT_EQ(phone.readUntil("stopLiveResult"), reply("stopLiveResult", true));
    EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0));
    camtest::clearCalls();
    ASSERT_TRUE(phone.send(request("startLive", "{\"width\":1920,\"height\":0,\"bitrate\":1000}")));
    EXPECT_EQ(phone.readUntil("startLiveResult"), reply("startLiveResult", true));
    EXPECT_TRUE(waitFor([] {
        return camtest::called(
            "realTimeStillGrab 2 true 960 960 rtmp://127.0.0.1/live/panorbit 4000000 0 h 1 100 100 100");
    })) << ::testing::PrintToString(camtest::calls());
}

TEST_F(SettingsTest, CardWritesRefusedWhileTheHostHasTheCard) {
    const char* lun = "/sys/devices/platform/exynos-dwc3.0/exynos-ss-udc.0/gadget/lun0/file";
    writeFile("/sdcard/IMG_000001@3K.pnop", "1");
    writeFile("/sdcard/IMG_000002@3K.pnop", "2");
    start();
    Client phone;
    sh("vcam-battery --vbus 1");
    EXPECT_EQ(phone.readLine(std::chrono::seconds(10)), stateChanged(7));
    EXPECT_TRUE(waitFor([&] { return readFile(lun) == "/dev/mmcblk1\n"; })) << readFile(lun);
    EXPECT_EQ(ask(phone, request("deleteFile", "{\"name\":\"IMG_000001@3K.pnop\"}")),
              refusal("deleteFileResult", "sdcard in usb mode"));
    EXPECT_EQ(ask(phone, request("bulkDelete", "{\"fileList\":[\"IMG_000001@3K.pnop\",\"IMG_000002@3K.pnop\"]}")),
              refusal("bulkDeleteResult", "sdcard in usb mode"));
    EXPECT_EQ(ask(phone, "{\"cmd\":\"takePhoto\"}\n"), refusal("takePhotoResult", "sdcard in usb mode"));
    EXPECT_EQ(ask(phone, "{\"cmd\":\"startRecord\"}\n"), refusal("startRecordResult", "sdcard in usb mode"));
    EXPECT_EQ(ask(phone, "{\"cmd\":\"realtimeSnapshot\"}\n"), refusal("realtimeSnapshotResult", "sdcard in usb mode"));
    EXPECT_EQ(readFile("/sdcard/IMG_000001@3K.pnop"), "1");
    EXPECT_EQ(readFile("/sdcard/IMG_000002@3K.pnop"), "2");
    sh("vcam-battery --vbus 0");
    EXPECT_EQ(phone.readLine(std::chrono::seconds(10)), stateChanged(0));
    EXPECT_EQ(ask(phone, request("deleteFile", "{\"name\":\"IMG_000001@3K.pnop\"}")), reply("deleteFileResult", true));

    // a busy card: the camera keeps it, mounted as it was, and says why
    sh("vcam-standin umount status=32");
    camtest::expectErrorLine("umount /sdcard failed, status 8192");
    camtest::clearCalls();
    writeFile(lun, "");
    sh("vcam-battery --vbus 1");
    EXPECT_EQ(phone.readLine(std::chrono::seconds(10)), stateChanged(7));
    EXPECT_TRUE(waitFor([&] { return log().find("card kept: umount /sdcard failed") != std::string::npos; })) << log();
    EXPECT_EQ(readFile(lun), "\n");
    EXPECT_FALSE(camtest::called("mount -o ro /dev/mmcblk1p1 /sdcard"));
    EXPECT_EQ(ask(phone, request("deleteFile", "{\"name\":\"IMG_000002@3K.pnop\"}")),
              refusal("deleteFileResult", "sdcard in usb mode"));
    sh("vcam-battery --vbus 0");
    EXPECT_EQ(phone.readLine(std::chrono::seconds(10)), stateChanged(0));
    sh("vcam-standin --clear umount");

    // a read-only mount that fails: the card is not handed over either
    sh("vcam-standin mount status=32");
    camtest::expectErrorLine("card kept: mount -o ro /sdcard failed, status 8192");
    writeFile(lun, "");
    sh("vcam-battery --vbus 1");
    EXPECT_EQ(phone.readLine(std::chrono::seconds(10)), stateChanged(7));
    EXPECT_TRUE(waitFor([&] { return log().find("card kept: mount -o ro /sdcard failed") != std::string::npos; }))
        << log();
    EXPECT_EQ(readFile(lun), "\n");
    EXPECT_EQ(readFile("/sdcard/IMG_000002@3K.pnop"), "2");
}

TEST_F(SettingsTest, CreatedFilesAreNotWorldWritable) {
    unlink(camera_paths::kUserConf);
    writeFile(camera_paths::kCounterConf, "0");
    mode_t old = umask(0);
    start();
    umask(old);
    Client phone;
    EXPECT_EQ(ask(phone, request("setUserProperty", "{\"key\":\"owner\",\"value\":\"x\"}")),
              reply("setUserPropertyResult", true));
    EXPECT_EQ(modeOf(camera_paths::kUserConf), 0644u);
    ASSERT_TRUE(phone.send("{\"cmd\":\"takePhoto\"}\n"));
    EXPECT_EQ(phone.readUntil("takePhotoResult"), reply("takePhotoResult", true));
    EXPECT_EQ(phone.readUntil("stateChanged", std::chrono::seconds(30)), stateChanged(0)) << log();
    const std::string photo = "/sdcard/IMG_000001@3K.pnop";
    ASSERT_TRUE(camtest::exists(photo)) << log();
    EXPECT_EQ(modeOf(photo), 0644u);
}

TEST_F(SettingsTest, RewriteLeftoversRemovedAtStart) {
    const char* leftovers[] = {"/etc/offset.conf.rewrite-Ab12Cd", "/etc/user.conf.rewrite-x9Y8z7",
                               "/etc/ID.conf.rewrite-QQQQQQ", "/etc/cnt.conf.rewrite-000000",
                               "/etc/appConfig.json.rewrite-zzzzzz"};
    for (const char* f : leftovers) writeFile(f, "partial");
    // not the rewrite's temporary names: kept, among them names of the form
    // older firmware swept (six letters or digits after the file's name)
    const char* kept[] = {
        "/etc/offset.conf.bad",           "/etc/offset.conf.Ab12Cd",         "/etc/offset.conf.backup",
        "/etc/appConfig.json.golden",     "/etc/user.conf.abc123",           "/etc/ID.conf.QQQQQQ",
        "/etc/offset.conf.rewrite-Ab12C", "/etc/offset.conf.rewrite-Ab-2Cd", "/etc/offset.conf.rewrite-Ab12Cd7"};
    for (const char* f : kept) writeFile(f, std::string("keep ") + f);
    start();
    for (const char* f : leftovers) EXPECT_FALSE(camtest::exists(f)) << f;
    for (const char* f : kept) {
        EXPECT_EQ(readFile(f), std::string("keep ") + f) << f;
        unlink(f);
    }
}

TEST_F(SettingsTest, FifoPathTakenByAFolderEndsStartUp) {
    unlink("/tmp/server_read.fifo");
    ASSERT_EQ(mkdir("/tmp/server_read.fifo", 0755), 0);
    camtest::expectErrorLine("can't make fifos /tmp/server_read.fifo ");
    Process p;
    camtest::start(p, {"controller", "-d"}, "/tmp/controller.fifo.out");
    EXPECT_EQ(p.wait(std::chrono::seconds(30)), 1) << p.output();
    EXPECT_NE(p.output().find("can't make fifos /tmp/server_read.fifo"), std::string::npos) << p.output();
    EXPECT_EQ(p.output().find("Check failed"), std::string::npos) << p.output();
    rmdir("/tmp/server_read.fifo");
}

}  // namespace
