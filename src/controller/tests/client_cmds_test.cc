// File, settings and status commands end to end: the real controller in the
// virtual camera, driven over TCP as a phone app does, with the card, the
// logs and the files under /etc checked afterwards.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "common/dameon_util.h"
#include "config/config_paths.h"
#include "controller/controller_context.h"
#include "controller/screen_codes.h"
#include "controller/state/CameraState.h"
#include "in_process.h"
#include "support/camtest.h"
#include "support/vcam_session.h"

using camtest::Client;
using camtest::Process;
using camtest::readFile;
using camtest::refusal;
using camtest::reply;
using camtest::waitFor;
using camtest::writeFile;

namespace {

using camera_paths::kApConf;
const std::string kApText = "interface=wlan0\nssid=panor00000\nchannel=6\nwpa_passphrase=Vorpa517\n";

// A JSON text as a document; the test fails on a line that is not JSON.
std::unique_ptr<rapidjson::Document> parse(const std::string& line) {
    auto doc = std::make_unique<rapidjson::Document>();
    doc->Parse(line.c_str(), line.size());
    EXPECT_FALSE(doc->HasParseError()) << line;
    if (doc->HasParseError()) doc->SetObject();
    return doc;
}

std::string str(const rapidjson::Value& v) { return std::string(v.GetString(), v.GetStringLength()); }

// A JSON request line: the command and its "data" object text.
std::string request(const std::string& cmd, const std::string& data) {
    return "{\"cmd\":\"" + cmd + "\",\"data\":" + data + "}\n";
}

class ClientCmdsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        // an empty card and log folder, a known access point file
        camtest::sh("find /sdcard /log -mindepth 1 -delete");
        saved_config_ = readFile(camera_paths::kAppConfig);
        writeFile(kApConf, kApText);
        camtest::clearCalls();
        ASSERT_TRUE(camtest::startController(ctl_)) << ctl_.output();
    }
    void TearDown() override {
        camtest::stopController(ctl_);
        chmod(camera_paths::kAppConfig, 0644);
        writeFile(camera_paths::kAppConfig, saved_config_);
        chmod("/log", 0755);
    }
    std::string log() const { return ctl_.output(); }
    void card(const char* what) { camtest::sh("vcam-sdcard " + std::string(what) + " " + std::to_string(ctl_.pid)); }
    // The reply to one request line.
    std::string ask(Client& c, const std::string& line) {
        EXPECT_TRUE(c.send(line));
        return c.readLine();
    }

    Process ctl_;
    std::string saved_config_;
};

struct Entry {
    uint64_t size;
    uint64_t timestamp;
};

// The entries of a "fileList" reply in their order.
std::vector<std::pair<std::string, Entry>> fileList(const std::string& line) {
    std::vector<std::pair<std::string, Entry>> out;
    auto doc = parse(line);
    EXPECT_TRUE((*doc)["code"].GetBool()) << line;
    for (auto& e : (*doc)["data"]["fileList"].GetArray()) {
        std::string members;
        for (auto& m : e.GetObject()) members += str(m.name) + " ";
        EXPECT_EQ(members, "name size timestamp ");
        out.push_back({str(e["name"]), {e["size"].GetUint64(), e["timestamp"].GetUint64()}});
    }
    return out;
}

void setMtime(const std::string& path, time_t when) {
    timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST_F(ClientCmdsTest, ListingsOfTheCardAndTheLogs) {
    const std::string photo = "IMG_000001@3K.pnop";
    const std::string odd = "a\"b\\c\nd.pnop";
    const std::string big = "VID_000001@3K.pnov";
    writeFile("/sdcard/" + photo, "photo");
    setMtime("/sdcard/" + photo, 1500000000);
    writeFile("/sdcard/" + odd, "odd");
    // a video of 3 GiB: its size does not fit 32 bits
    int fd = open(("/sdcard/" + big).c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 3LL << 30), 0);
    close(fd);
    ASSERT_EQ(mkdir("/sdcard/DCIM", 0755), 0);
    writeFile("/sdcard/DCIM/inner.pnop", "x");
    ASSERT_EQ(symlink(photo.c_str(), "/sdcard/link.pnop"), 0);
    ASSERT_EQ(symlink(camera_paths::kAppConfig, "/sdcard/conf.pnop"), 0);
    ASSERT_EQ(mkfifo("/sdcard/pipe", 0644), 0);
    writeFile("/sdcard/.panorbit", "");

    // the regular files in the directory's own order, hidden ones included
    std::vector<std::string> expected;
    {
        DIR* d = opendir("/sdcard/");
        ASSERT_NE(d, nullptr);
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n == photo || n == odd || n == big || n == ".panorbit") expected.push_back(n);
        }
        closedir(d);
    }
    Client phone;
    std::string line = ask(phone, "{\"cmd\":\"listFile\"}\n");
    ASSERT_EQ(line.rfind("{\"type\":\"fileList\",\"code\":true,\"data\":{\"fileList\":[", 0), 0u) << line;
    auto list = fileList(line);
    ASSERT_EQ(list.size(), expected.size()) << line;
    for (size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i].first, expected[i]);
    std::map<std::string, Entry> by_name(list.begin(), list.end());
    EXPECT_EQ(by_name[photo].size, 5u);
    EXPECT_EQ(by_name[photo].timestamp, 1500000000u);
    EXPECT_EQ(by_name[odd].size, 3u);
    EXPECT_EQ(by_name[big].size, 3ULL << 30);
    EXPECT_EQ(by_name[".panorbit"].size, 0u);

    // the logs, with and without a card
    writeFile("/log/20260102.log", "started\n");
    line = ask(phone, "{\"cmd\":\"listLog\"}\n");
    auto logs = fileList(line);
    ASSERT_EQ(logs.size(), 1u) << line;
    EXPECT_EQ(logs[0].first, "20260102.log");
    EXPECT_EQ(logs[0].second.size, 8u);
    EXPECT_EQ(str((*parse(line))["type"]), "listLogResult");

    // the card's room as the file system tells it
    line = ask(phone, "{\"cmd\":\"querySDCard\"}\n");
    ASSERT_EQ(line.rfind("{\"type\":\"querySDCardResult\",\"code\":true,\"data\":{\"totolSize\":", 0), 0u) << line;
    auto room = parse(line);
    struct statfs st;
    ASSERT_EQ(statfs("/sdcard", &st), 0);
    uint64_t total = static_cast<uint64_t>(st.f_blocks) * st.f_bsize;
    uint64_t free_now = static_cast<uint64_t>(st.f_bfree) * st.f_bsize;
    const rapidjson::Value& data = (*room)["data"];
    EXPECT_EQ(data["totolSize"].GetUint64(), total);
    // the host's disk is shared: its free room moves a little
    uint64_t reported = data["freeSize"].GetUint64();
    EXPECT_LT(reported > free_now ? reported - free_now : free_now - reported, 256ULL << 20);
    int left = static_cast<int>(static_cast<double>(reported >> 20) / 5.5);
    EXPECT_LE(std::abs(data["photoLeft"].GetInt() - left), 1) << line;

    card("remove");
    EXPECT_NE(phone.readUntil("SDCardIsInsert"), "");
    EXPECT_EQ(ask(phone, "{\"cmd\":\"listFile\"}\n"), refusal("fileList", "sdcard not insert"));
    EXPECT_EQ(ask(phone, "{\"cmd\":\"querySDCard\"}\n"), refusal("querySDCardResult", "sdcard not insert"));
    line = ask(phone, "{\"cmd\":\"listLog\"}\n");
    EXPECT_EQ(fileList(line).size(), 1u) << line;
    ASSERT_EQ(chmod("/log", 0), 0);
    EXPECT_EQ(ask(phone, "{\"cmd\":\"listLog\"}\n"), refusal("listLogResult", "open dir error"));
    chmod("/log", 0755);
    card("insert");
    EXPECT_NE(phone.readUntil("SDCardIsInsert"), "");
    EXPECT_EQ(fileList(ask(phone, "{\"cmd\":\"listFile\"}\n")).size(), expected.size());
}

TEST_F(ClientCmdsTest, DeletingStaysInsideTheCard) {
    const std::string config = readFile(camera_paths::kAppConfig);
    const std::string id = readFile(camera_paths::kIdConf);
    writeFile("/sdcard/IMG_000001@3K.pnop", "1");
    writeFile("/sdcard/IMG", "keep");
    ASSERT_EQ(mkdir("/sdcard/DCIM", 0755), 0);
    writeFile("/sdcard/DCIM/inner.pnop", "x");
    ASSERT_EQ(symlink(camera_paths::kIdConf, "/sdcard/id.pnop"), 0);
    Client phone;
    const std::string invalid = refusal("deleteFileResult", "Invalid argument");
    for (const char* name : {"../etc/appConfig.json", "", ".", "..", "DCIM/inner.pnop", camera_paths::kIdConf,
                             "IMG\\u0000/../../etc/appConfig.json", "IMG\\u0000x"}) {
        EXPECT_EQ(ask(phone, request("deleteFile", std::string("{\"name\":\"") + name + "\"}")), invalid) << name;
    }
    EXPECT_EQ(readFile(camera_paths::kAppConfig), config);
    EXPECT_EQ(readFile("/sdcard/IMG"), "keep");
    EXPECT_EQ(readFile("/sdcard/DCIM/inner.pnop"), "x");
    struct stat st;
    ASSERT_EQ(stat("/sdcard", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    // a directory is never removed; a link goes, not what it points at
    EXPECT_EQ(ask(phone, request("deleteFile", "{\"name\":\"DCIM\"}")), refusal("deleteFileResult", "Is a directory"));
    EXPECT_TRUE(camtest::exists("/sdcard/DCIM/inner.pnop"));
    EXPECT_EQ(ask(phone, request("deleteFile", "{\"name\":\"id.pnop\"}")), reply("deleteFileResult", true));
    EXPECT_EQ(lstat("/sdcard/id.pnop", &st), -1);
    EXPECT_EQ(readFile(camera_paths::kIdConf), id);
    EXPECT_EQ(ask(phone, request("deleteFile", "{\"name\":\"IMG_000001@3K.pnop\"}")), reply("deleteFileResult", true));
    EXPECT_FALSE(camtest::exists("/sdcard/IMG_000001@3K.pnop"));
    EXPECT_EQ(ask(phone, request("deleteFile", "{\"name\":\"IMG_000001@3K.pnop\"}")),
              refusal("deleteFileResult", "No such file or directory"));
    // arguments of the wrong kind answer nothing
    ASSERT_TRUE(phone.send(request("deleteFile", "{\"name\":5}") + "{\"cmd\":\"deleteFile\"}\n" +
                           request("deleteFile", "5") + request("bulkDelete", "{\"fileList\":\"IMG\"}")));
    EXPECT_TRUE(phone.quiet());
    EXPECT_TRUE(camtest::exists("/sdcard/IMG"));

    // a bulk delete skips what it may not or cannot remove
    for (const char* f : {"a.pnop", "b.pnop", "c.pnop"}) writeFile(std::string("/sdcard/") + f, f);
    EXPECT_EQ(ask(phone, request("bulkDelete",
                                 "{\"fileList\":[\"a.pnop\",5,\"../etc/ID.conf\",\"\",\"..\",null,"
                                 "\"missing.pnop\",\"DCIM\",\"IMG\\u0000\",\"b.pnop\"]}")),
              reply("bulkDeleteResult", true));
    EXPECT_FALSE(camtest::exists("/sdcard/a.pnop"));
    EXPECT_FALSE(camtest::exists("/sdcard/b.pnop"));
    EXPECT_EQ(readFile("/sdcard/c.pnop"), "c.pnop");
    EXPECT_EQ(readFile("/sdcard/IMG"), "keep");
    EXPECT_TRUE(camtest::exists("/sdcard/DCIM/inner.pnop"));
    EXPECT_EQ(readFile(camera_paths::kIdConf), id);
    EXPECT_EQ(ask(phone, request("bulkDelete", "{\"fileList\":[]}")), reply("bulkDeleteResult", true));
    EXPECT_EQ(readFile("/sdcard/c.pnop"), "c.pnop");
}

TEST_F(ClientCmdsTest, IdentityAndAccessPointFiles) {
    writeFile(camera_paths::kIdConf, "PANO0A1B2C3D");
    Client phone;
    EXPECT_EQ(ask(phone, "{\"cmd\":\"queryID\"}\n"),
              "{\"type\":\"queryIDResult\",\"code\":true,\"data\":{\"id\":\"PANO0A1B2C3D\"}}");
    EXPECT_EQ(ask(phone, request("setID", "{\"ID\":\"1234\"}")), refusal("setIDResult", "id too short"));
    for (const char* id : {"ABCDE\\nssid=evil", "ABCDEFGH\\n", "ABCDE\\rFGH", "ABCDE\\u0000FGH"})
        EXPECT_EQ(ask(phone, request("setID", std::string("{\"ID\":\"") + id + "\"}")),
                  refusal("setIDResult", "invalid id"))
            << id;
    ASSERT_TRUE(phone.send(request("setID", "{\"ID\":1234567}") + request("setID", "{\"id\":\"ABCDEFGH\"}")));
    EXPECT_TRUE(phone.quiet());
    EXPECT_EQ(readFile(camera_paths::kIdConf), "PANO0A1B2C3D");
    EXPECT_EQ(readFile(kApConf), kApText);

    EXPECT_EQ(ask(phone, request("setID", "{\"ID\":\"12345\"}")), reply("setIDResult", true));
    EXPECT_EQ(readFile(camera_paths::kIdConf), "12345");
    EXPECT_EQ(readFile(kApConf), "interface=wlan0\nssid=panor12345\nchannel=6\nwpa_passphrase=Vorpa517\n");
    EXPECT_EQ(ask(phone, request("setID", "{\"ID\":\"ABCDEFGHIJ\"}")), reply("setIDResult", true));
    EXPECT_EQ(readFile(camera_paths::kIdConf), "ABCDEFGHIJ");
    EXPECT_EQ(readFile(kApConf), "interface=wlan0\nssid=panorFGHIJ\nchannel=6\nwpa_passphrase=Vorpa517\n");
    EXPECT_EQ(ask(phone, "{\"cmd\":\"queryID\"}\n"),
              "{\"type\":\"queryIDResult\",\"code\":true,\"data\":{\"id\":\"ABCDEFGHIJ\"}}");

    // a passphrase with a comma, then one without: the whole value changes
    const std::string head = "interface=wlan0\nssid=panorFGHIJ\nchannel=6\nwpa_passphrase=";
    EXPECT_EQ(ask(phone, request("changeAPPassword", "{\"password\":\"ab,cdefgh\"}")),
              reply("changeAPPasswordResult", true));
    EXPECT_EQ(readFile(kApConf), head + "ab,cdefgh\n");
    EXPECT_EQ(ask(phone, request("changeAPPassword", "{\"password\":\"newpass12\"}")),
              reply("changeAPPasswordResult", true));
    EXPECT_EQ(readFile(kApConf), head + "newpass12\n");
    // sed's and the shell's characters are stored as they are
    EXPECT_EQ(ask(phone, request("changeAPPassword", "{\"password\":\"a/b&c\\\\d'$(touch /tmp/pwned) `id`,x\"}")),
              reply("changeAPPasswordResult", true));
    EXPECT_EQ(readFile(kApConf), head + "a/b&c\\d'$(touch /tmp/pwned) `id`,x\n");
    EXPECT_FALSE(camtest::exists("/tmp/pwned"));
    const std::string kept = readFile(kApConf);
    // passphrases the access point cannot start with
    const std::string too_long(64, 'p');
    for (std::string bad :
         {std::string("short12"), too_long, std::string("pass\\nword12"), std::string("tab\\tpassword"),
          std::string("p\\u00e4ssword1"), std::string("nul\\u0000password")}) {
        EXPECT_EQ(ask(phone, request("changeAPPassword", "{\"password\":\"" + bad + "\"}")),
                  refusal("changeAPPasswordResult", "invalid password"))
            << bad;
    }
    EXPECT_EQ(readFile(kApConf), kept);
    EXPECT_EQ(ask(phone, request("changeAPPassword", "{\"password\":\"" + std::string(63, 'q') + "\"}")),
              reply("changeAPPasswordResult", true));
    EXPECT_EQ(readFile(kApConf), head + std::string(63, 'q') + "\n");
    ASSERT_TRUE(phone.send(request("changeAPPassword", "{\"password\":12345678}")));
    EXPECT_TRUE(phone.quiet());
    EXPECT_FALSE(camtest::called("apSwitch up")) << "the running access point is not restarted";
}

TEST_F(ClientCmdsTest, StoredPropertiesAndCounters) {
    writeFile(camera_paths::kOffsetConf, "{\"defaultOffset\": \"abc\", \"photoCount\": 3, \"videoCount\": 2}");
    unlink(camera_paths::kUserConf);
    Client phone;
    EXPECT_EQ(ask(phone, "{\"cmd\":\"queryStatistic\"}\n"),
              "{\"type\":\"queryStatisticResult\",\"code\":true,\"data\":{\"photoCount\":3,\"videoCount\":2}}");
    // a count stored as text is no count
    EXPECT_EQ(ask(phone, request("setOffset", "{\"key\":\"photoCount\",\"value\":\"7\"}")),
              reply("setOffsetResult", true));
    EXPECT_EQ(ask(phone, "{\"cmd\":\"queryStatistic\"}\n"),
              "{\"type\":\"queryStatisticResult\",\"code\":true,\"data\":{\"photoCount\":0,\"videoCount\":2}}");
    EXPECT_EQ(ask(phone, request("queryOffset", "{\"key\":\"photoCount\"}")),
              "{\"type\":\"queryOffsetResult\",\"code\":true,\"data\":{\"key\":\"photoCount\",\"value\":\"7\"}}");
    EXPECT_EQ(ask(phone, request("queryOffset", "{\"key\":\"videoCount\"}")),
              "{\"type\":\"queryOffsetResult\",\"code\":true,\"data\":{\"key\":\"videoCount\",\"value\":\"\"}}");
    EXPECT_EQ(ask(phone, request("queryOffset", "{\"key\":\"K\"}")),
              "{\"type\":\"queryOffsetResult\",\"code\":true,\"data\":{\"key\":\"K\",\"value\":\"\"}}");
    EXPECT_EQ(readFile(camera_paths::kOffsetConf),
              "{\n    \"defaultOffset\": \"abc\",\n    \"photoCount\": \"7\",\n    \"videoCount\": 2\n}");

    // keys and values with quotes, line ends and NUL bytes come back whole
    const std::string key_json = "k\\\"\\n\\u0000y", value_json = "v\\\\ \\\"}\\n\\u0000z";
    EXPECT_EQ(ask(phone, request("setOffset", "{\"key\":\"" + key_json + "\",\"value\":\"" + value_json + "\"}")),
              reply("setOffsetResult", true));
    std::string line = ask(phone, request("queryOffset", "{\"key\":\"" + key_json + "\"}"));
    auto doc = parse(line);
    EXPECT_EQ(str((*doc)["data"]["key"]), std::string("k\"\n\0y", 5));
    EXPECT_EQ(str((*doc)["data"]["value"]), std::string("v\\ \"}\n\0z", 8));
    auto stored = parse(readFile(camera_paths::kOffsetConf));
    EXPECT_EQ(str((*stored)["defaultOffset"]), "abc");
    EXPECT_EQ(stored->MemberCount(), 4u);

    // user properties: a query creates the file
    EXPECT_EQ(ask(phone, request("queryUserProperty", "{\"key\":\"owner\"}")),
              "{\"type\":\"queryUserPropertyResult\",\"code\":true,\"data\":{\"key\":\"owner\",\"value\":\"\"}}");
    EXPECT_EQ(readFile(camera_paths::kUserConf), "{}");
    EXPECT_EQ(ask(phone, request("setUserProperty", "{\"key\":\"owner\",\"value\":\"Zo\\u00eb\"}")),
              reply("setUserPropertyResult", true));
    EXPECT_EQ(
        ask(phone, request("queryUserProperty", "{\"key\":\"owner\"}")),
        "{\"type\":\"queryUserPropertyResult\",\"code\":true,\"data\":{\"key\":\"owner\",\"value\":\"Zo\xc3\xab\"}}");
    EXPECT_EQ(readFile(camera_paths::kUserConf), "{\n    \"owner\": \"Zo\xc3\xab\"\n}");
    ASSERT_TRUE(phone.send(request("setOffset", "{\"key\":\"a\",\"value\":7}") +
                           request("setUserProperty", "{\"key\":1,\"value\":\"x\"}") + request("queryOffset", "{}") +
                           "{\"cmd\":\"queryUserProperty\"}\n"));
    EXPECT_TRUE(phone.quiet());
    EXPECT_EQ(readFile(camera_paths::kUserConf), "{\n    \"owner\": \"Zo\xc3\xab\"\n}");

    // many long values: client sets stop at the file's bound with a
    // failure reply, and every member stays, the lens offset among them
    camtest::expectErrorLine("set property in /etc/offset.conf err file too large");
    const std::string filler(60000, 'f');
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(
            ask(phone, request("setOffset", "{\"key\":\"pad" + std::to_string(i) + "\",\"value\":\"" + filler + "\"}")),
            i < 4 ? reply("setOffsetResult", true) : refusal("setOffsetResult", "file too large"))
            << i;
    }
    EXPECT_LE(readFile(camera_paths::kOffsetConf).size(), size_t{256} << 10);
    EXPECT_EQ(ask(phone, request("queryOffset", "{\"key\":\"defaultOffset\"}")),
              "{\"type\":\"queryOffsetResult\",\"code\":true,\"data\":{\"key\":\"defaultOffset\",\"value\":\"abc\"}}");
    EXPECT_EQ(ask(phone, "{\"cmd\":\"queryStatistic\"}\n"),
              "{\"type\":\"queryStatisticResult\",\"code\":true,\"data\":{\"photoCount\":0,\"videoCount\":2}}");
    stored = parse(readFile(camera_paths::kOffsetConf));
    EXPECT_EQ(stored->MemberCount(), 8u);
    EXPECT_EQ(str((*stored)["pad3"]), filler);
    // keys and values past their own bounds
    EXPECT_EQ(ask(phone, request("setUserProperty", "{\"key\":\"" + std::string(257, 'k') + "\",\"value\":\"v\"}")),
              refusal("setUserPropertyResult", "key too long"));
    EXPECT_EQ(ask(phone, request("setUserProperty", "{\"key\":\"k\",\"value\":\"" + std::string(65537, 'v') + "\"}")),
              refusal("setUserPropertyResult", "value too long"));
    EXPECT_EQ(ask(phone, request("setUserProperty", "{\"key\":\"" + std::string(256, 'k') + "\",\"value\":\"" +
                                                        std::string(65536, 'v') + "\"}")),
              reply("setUserPropertyResult", true));
    EXPECT_EQ(parse(readFile(camera_paths::kUserConf))->MemberCount(), 2u);
}

TEST_F(ClientCmdsTest, StatusVersionsAndConfiguration) {
    writeFile(camera_paths::kVersionTxt, "V9.8.7 build 20260102\n");
    Client phone, other;
    ASSERT_TRUE(waitFor([&] { return log().find("new client connected2") != std::string::npos; }));
    EXPECT_EQ(ask(phone, "{\"cmd\":\"queryVersion\"}\n"),
              "{\"type\":\"queryVersionResult\",\"code\":true,\"data\":{\"version\":\"V9.8.7\"}}");
    EXPECT_EQ(ask(phone, "{\"cmd\":\"queryKernelVersion\"}\n"),
              "{\"type\":\"queryKernelVersionResult\",\"code\":true,\"data\":{\"version\":386}}");
    // the state goes to every client, the asker's only answer
    ASSERT_TRUE(phone.send("{\"cmd\":\"queryState\"}\n"));
    const std::string state =
        "{\"type\":\"state\",\"code\":true,\"data\":{\"battery\":80,\"voltage\":3.9,\"onCharge\":false,"
        "\"sdcardInsert\":true,\"sdcardSupported\":true,\"mode\":0}}";
    EXPECT_EQ(phone.readLine(), state);
    EXPECT_EQ(other.readLine(), state);
    EXPECT_TRUE(phone.quiet());

    // the configuration as the file holds it now
    std::string line = ask(phone, "{\"cmd\":\"queryAppConfig\"}\n");
    ASSERT_EQ(line.rfind("{\"type\":\"queryAppConfigResult\",\"code\":true,\"data\":{\"cameraNum\":2,", 0), 0u) << line;
    EXPECT_TRUE((*parse(line))["data"] == *parse(saved_config_));
    writeFile(camera_paths::kAppConfig, "{\"cameraNum\": 4, \"extra\": [1, \"two\", {\"three\": 3.5}]}");
    EXPECT_EQ(ask(phone, "{\"cmd\":\"queryAppConfig\"}\n"),
              "{\"type\":\"queryAppConfigResult\",\"code\":true,\"data\":{\"cameraNum\":4,\"extra\":[1,\"two\","
              "{\"three\":3.5}]}}");
    writeFile(camera_paths::kAppConfig, "[1,2]");
    camtest::expectErrorLine("query app config err file format error ...");
    EXPECT_EQ(ask(phone, "{\"cmd\":\"queryAppConfig\"}\n"), refusal("queryAppConfigResult", "file format error ..."));
    writeFile(camera_paths::kAppConfig, saved_config_);
    ASSERT_EQ(chmod(camera_paths::kAppConfig, 0), 0);
    camtest::expectErrorLine("query app config err open config file err...");
    EXPECT_EQ(ask(phone, "{\"cmd\":\"queryAppConfig\"}\n"), refusal("queryAppConfigResult", "open config file err..."));
    EXPECT_EQ(ask(phone, "{\"cmd\":\"heartTest\"}\n"), reply("heartTestResult", true));
    EXPECT_EQ(kill(ctl_.pid, 0), 0);
}

TEST_F(ClientCmdsTest, ClockIsSetWithTheTextAsOneArgument) {
    Client phone;
    EXPECT_EQ(ask(phone, request("syncTime", "{\"time\":\"2026-01-02 03:04:05\"}")), reply("syncTimeResult", true));
    EXPECT_TRUE(camtest::called("date '2026-01-02 03:04:05'")) << ::testing::PrintToString(camtest::calls());
    EXPECT_TRUE(camtest::called("hwclock -w"));
    EXPECT_EQ(readFile("/var/run/date.set"), "2026-01-02 03:04:05\n");

    camtest::clearCalls();
    // no time: date refuses it, and so the hardware clock is left alone
    camtest::expectErrorLine("date refused the time text, status ");
    EXPECT_EQ(ask(phone, request("syncTime",
                                 "{\"time\":\"0102; touch /tmp/pwned $(touch /tmp/pwned2) "
                                 "`touch /tmp/pwned3` | tee /tmp/x & \\\"q\\\"\"}")),
              refusal("syncTimeResult", "invalid time"));
    std::vector<std::string> clock_calls;
    for (const std::string& c : camtest::calls()) {
        if (c.rfind("date", 0) == 0 || c.rfind("hwclock", 0) == 0) clock_calls.push_back(c);
    }
    // one argument, which the stand-in records shell-quoted
    EXPECT_EQ(clock_calls, (std::vector<std::string>{
                               "date '0102; touch /tmp/pwned $(touch /tmp/pwned2) `touch /tmp/pwned3` | tee /tmp/x & "
                               "\"q\"'"}));
    for (const char* f : {"/tmp/pwned", "/tmp/pwned2", "/tmp/pwned3", "/tmp/x"}) EXPECT_FALSE(camtest::exists(f)) << f;
    EXPECT_EQ(readFile("/var/run/date.set"), "2026-01-02 03:04:05\n");
    ASSERT_TRUE(phone.send(request("syncTime", "{\"time\":1767322800}")));
    EXPECT_TRUE(phone.quiet());
}

TEST_F(ClientCmdsTest, LensQueriesAndWorkerSettings) {
    Client phone;
    // the lens controls as the capture tool lists them
    std::string line = ask(phone, request("queryCamera", "{\"index\":1}"));
    auto doc = parse(line);
    EXPECT_EQ(str((*doc)["type"]), "cameraState");
    EXPECT_EQ(str((*doc)["data"]["state"]), readCmdOutput("v4l2-ctl -d /dev/video1 --list-ctrls"));
    EXPECT_EQ((*doc)["data"]["index"].GetInt(), 1);
    EXPECT_NE(str((*doc)["data"]["state"]).find("brightness"), std::string::npos);

    camtest::sh("v4l2-ctl -d /dev/video1 -c brightness=77");
    line = ask(phone, "{\"cmd\":\"queryCamera2\"}\n");
    doc = parse(line);
    const rapidjson::Value& lenses = (*doc)["data"];
    ASSERT_EQ(lenses.MemberCount(), 2u) << line;
    EXPECT_STREQ(lenses.MemberBegin()->name.GetString(), "video0");
    EXPECT_STREQ((lenses.MemberBegin() + 1)->name.GetString(), "video1");
    for (auto& lens : lenses.GetObject()) {
        std::string previous;
        for (auto& p : lens.value.GetObject()) {
            std::string name = str(p.name);
            EXPECT_LT(previous, name) << "names in ascending order";
            EXPECT_TRUE(p.value.IsUint64());
            previous = name;
        }
    }
    EXPECT_EQ(lenses["video1"]["brightness"].GetUint64(), 77u) << line;
    EXPECT_EQ(lenses["video0"]["brightness"].GetUint64(), 128u) << line;
    EXPECT_EQ(lenses["video0"]["exposure"].GetUint64(), 400u) << line;
    ASSERT_TRUE(phone.send(request("queryCamera", "{\"index\":\"0\"}") + request("queryCamera", "{\"index\":0.0}")));
    EXPECT_TRUE(phone.quiet());

    // settings for the streaming worker: accepted with no worker running
    EXPECT_EQ(ask(phone, request("setCamera", "{\"index\":1,\"property\":\"brightness\",\"value\":10}")),
              reply("setCameraResult", true));
    ASSERT_TRUE(phone.send(request("setAutoExposureParam", "{\"factor\":1}") +
                           request("setAudioDenoise", "{\"open\":1}") +
                           request("setCamera", "{\"index\":1,\"property\":\"brightness\",\"value\":\"10\"}")));
    EXPECT_TRUE(phone.quiet());
    EXPECT_EQ(ask(phone, request("setAutoExposureParam", "{\"factor\":1.0}")),
              reply("setAutoExposureParamResult", true));
    EXPECT_EQ(ask(phone, request("setAudioDenoise", "{\"open\":true}")), reply("setAudioDenoiseResult", true));
    EXPECT_NE(log().find("denoise: 1"), std::string::npos);

    // and reaching it while it streams
    ASSERT_TRUE(phone.send("{\"cmd\":\"startLive\"}\n"));
    EXPECT_NE(phone.readUntil("prepareOK"), "") << log();
    EXPECT_EQ(ask(phone, request("setCamera", "{\"index\":0,\"property\":\"contrast\",\"value\":-3}")),
              reply("setCameraResult", true));
    // a number the parser rounds to infinity cannot be written on to the
    // worker: the line is dropped as one that does not parse
    camtest::expectErrorLine("parse_err Number too big to be stored in double.");
    ASSERT_TRUE(phone.send(request("setAutoExposureParam", "{\"factor\":1.7976931348623158e308}")));
    EXPECT_TRUE(phone.quiet());
    EXPECT_EQ(ask(phone, request("setAutoExposureParam", "{\"factor\":0.25}")),
              reply("setAutoExposureParamResult", true));
    EXPECT_EQ(ask(phone, request("setAudioDenoise", "{\"open\":false}")), reply("setAudioDenoiseResult", true));
    EXPECT_TRUE(waitFor([] {
        std::string f = readFile("/.vcam/fifo.log");
        return f.find(
                   "realTimeStillGrab {\"cmd\":\"setCameraProperty\",\"data\":{\"index\":0,\"property\":"
                   "\"contrast\",\"val\":-3}}") != std::string::npos &&
               f.find("realTimeStillGrab {\"cmd\":\"setAutoExposureParam\",\"data\":{\"factor\":0.25}}") !=
                   std::string::npos &&
               f.find("realTimeStillGrab {\"cmd\":\"setAudioDenoise\",\"data\":{\"open\":false}}") != std::string::npos;
    })) << readFile("/.vcam/fifo.log");
    EXPECT_NE(log().find("denoise: 0"), std::string::npos);
    EXPECT_EQ(readFile("/.vcam/fifo.log").find("\"factor\":\n"), std::string::npos) << "no line cut short";
    ASSERT_TRUE(phone.send("{\"cmd\":\"stopLive\"}\n"));
    EXPECT_EQ(phone.readUntil("stopLiveResult"), reply("stopLiveResult", true));
}

// The handler in this process, one client on a socket pair, no loop
// running unless the test runs it.
class ClientCmdsInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        camtest::writeFile("/dev/oled", "");
        ctl_ = std::make_unique<InProcessController>();
        ctx_ = &ctl_->ctx();
        peer_ = ctl_->addClient(&client_);
        ASSERT_GE(peer_, 0);
        ctx_->sdcard_.inserted_ = true;
    }

    std::unique_ptr<InProcessController> ctl_;
    Context* ctx_ = nullptr;
    bufferevent* client_ = nullptr;
    int peer_ = -1;
};

// A screen of a fixed type that draws nothing and runs no job.
class FixedScreen : public CameraState {
public:
    explicit FixedScreen(int type) : type_(type) {}
    void show() override {}
    void clear() override {}
    int type() const override { return type_; }
    void handleButton0() override {}
    void handleButton1() override {}
    void handleButton2() override {}

private:
    int type_;
};

// Every command of the table under each condition that a command may need
// away: the card checks come before the USB host's, both before the in-use
// check; the two delete commands check their arguments first; no other
// command answers with one of these refusals.
TEST_F(ClientCmdsInProcess, CommandNeedsRefuseInTheirOrder) {
    camtest::sh("find /sdcard -mindepth 1 -delete");
    writeFile("/tmp/mounts.rw", "/dev/mmcblk1p1 /sdcard vfat rw 0 0\n");
    writeFile("/tmp/mounts.ro", "/dev/mmcblk1p1 /sdcard vfat ro 0 0\n");
    // the error screen: busy, and neither a job a stop command ends nor
    // the preview that takes snapshots
    ctx_->state_ = std::make_shared<FixedScreen>(state_type::kError);
    const std::string no_card = "sdcard not insert", read_only = "sdcard not supported",
                      with_host = "sdcard in usb mode", in_use = "camera in use";
    // arguments that pass the delete commands' checks; every other command
    // gets an empty "data", so one that checks arguments first is silent
    const std::map<std::string, std::string> data = {{"deleteFile", "{\"name\":\"none.pnop\"}"},
                                                     {"bulkDelete", "{\"fileList\":[]}"}};
    const std::map<std::string, std::string> types = {{"listFile", "fileList"},
                                                      {"querySDCard", "querySDCardResult"},
                                                      {"takePhoto", "takePhotoResult"},
                                                      {"startRecord", "startRecordResult"},
                                                      {"realtimeSnapshot", "realtimeSnapshotResult"},
                                                      {"startLive", "startLiveResult"},
                                                      {"startPreview", "startPreviewResult"},
                                                      {"startRecordPreview", "startRecordPreviewResult"},
                                                      {"deleteFile", "deleteFileResult"},
                                                      {"bulkDelete", "bulkDeleteResult"}};
    struct Condition {
        const char* what;
        bool inserted;
        const char* mounts;
        bool usb;
        std::map<std::string, std::string> refusals;  // command, "what" text
    };
    const std::vector<Condition> conditions = {
        {"no card, usb host",
         false,
         "/tmp/mounts.rw",
         true,
         {{"listFile", no_card},
          {"querySDCard", no_card},
          {"takePhoto", no_card},
          {"startRecord", no_card},
          {"realtimeSnapshot", no_card},
          {"deleteFile", with_host},
          {"bulkDelete", with_host},
          {"startLive", in_use},
          {"startPreview", in_use},
          {"startRecordPreview", in_use}}},
        {"read-only card, usb host",
         true,
         "/tmp/mounts.ro",
         true,
         {{"listFile", read_only},
          {"querySDCard", read_only},
          {"takePhoto", read_only},
          {"startRecord", read_only},
          {"realtimeSnapshot", read_only},
          {"deleteFile", with_host},
          {"bulkDelete", with_host},
          {"startLive", in_use},
          {"startPreview", in_use},
          {"startRecordPreview", in_use}}},
        {"card, usb host",
         true,
         "/tmp/mounts.rw",
         true,
         {{"takePhoto", with_host},
          {"startRecord", with_host},
          {"realtimeSnapshot", with_host},
          {"deleteFile", with_host},
          {"bulkDelete", with_host},
          {"startLive", in_use},
          {"startPreview", in_use},
          {"startRecordPreview", in_use}}},
        {"card",
         true,
         "/tmp/mounts.rw",
         false,
         {{"takePhoto", in_use},
          {"startRecord", in_use},
          {"realtimeSnapshot", "fuck"},
          {"startLive", in_use},
          {"startPreview", in_use},
          {"startRecordPreview", in_use}}},
    };

    ClientHandler& h = ctx_->client_handler_;
    // one line as the client line path hands it over, without its end
    auto send = [&](const std::string& cmd, const std::string& args) {
        std::string line = request(cmd, args);
        line.pop_back();
        h.handle(line, client_);
    };
    for (const Condition& c : conditions) {
        ctx_->sdcard_.inserted_ = c.inserted;
        ctx_->sdcard_.mounts_file_ = c.mounts;
        ctx_->usb_device_mode_ = c.usb;
        size_t refused = 0;
        for (const auto& row : ClientHandler::cmd_function_map_) {
            const std::string& name = row.first;
            auto args = data.find(name);
            send(name, args == data.end() ? "{}" : args->second);
            std::string got = ctl_->received(peer_);
            auto expected = c.refusals.find(name);
            if (expected != c.refusals.end()) {
                EXPECT_EQ(got, refusal(types.at(name), expected->second) + "\n") << c.what << ": " << name;
                ++refused;
                continue;
            }
            for (const std::string& text : {no_card, read_only, with_host, in_use})
                EXPECT_EQ(got.find(text), std::string::npos) << c.what << ": " << name << " " << got;
        }
        EXPECT_EQ(refused, c.refusals.size()) << c.what;
        // arguments of the wrong kind: nothing, whatever the card
        send("deleteFile", "{\"name\":5}");
        send("bulkDelete", "{\"fileList\":\"IMG\"}");
        EXPECT_EQ(ctl_->received(peer_), "") << c.what;
    }
    EXPECT_EQ(ctx_->state_->type(), state_type::kError);
}

// A card whose file system cannot be asked: the card's mount point gone.
TEST_F(ClientCmdsInProcess, CardRoomUnknown) {
    ctx_->sdcard_.mount_path_ = "/sdcard/gone";
    EXPECT_TRUE(ctx_->client_handler_.handle("{\"cmd\":\"querySDCard\"}", client_));
    EXPECT_EQ(ctl_->received(peer_),
              "{\"type\":\"querySDCardResult\",\"code\":true,\"data\":{\"totolSize\":0,\"freeSize\":0,"
              "\"photoLeft\":-1}}\n");
}

// A card holding thousands of media files: its listing is larger than what a
// client may leave unread, and still reaches a phone that reads it slowly
// (little room in the socket).
TEST_F(ClientCmdsInProcess, AFullCardIsListedWhole) {
    camtest::sh("find /sdcard -mindepth 1 -delete");
    const int files = 6000;
    const std::string tail(200, 'p');
    for (int i = 1; i <= files; ++i) {
        char name[32];
        snprintf(name, sizeof name, "/sdcard/IMG_%06d@", i);
        int fd = open((name + tail + ".pnop").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0) << name;
        close(fd);
    }
    int small = 4096;
    ASSERT_EQ(setsockopt(bufferevent_getfd(client_), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ctx_->sdcard_.mounts_file_ = "/tmp/mounts";
    writeFile("/tmp/mounts", "/dev/mmcblk1p1 /sdcard vfat rw 0 0\n");

    EXPECT_TRUE(ctx_->client_handler_.handle("{\"cmd\":\"listFile\"}", client_));
    EXPECT_FALSE(ctx_->client_handler_.clients_.isDropping(client_));
    EXPECT_GT(evbuffer_get_length(bufferevent_get_output(client_)), ClientConnections::kMaxQueuedOutput);
    std::string got;
    char buf[65536];
    while (got.find('\n') == std::string::npos) {
        event_base_loop(ctl_->base(), EVLOOP_NONBLOCK);
        ssize_t n = read(peer_, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        if (n == 0 || (n < 0 && errno != EAGAIN)) break;
    }
    ASSERT_EQ(got.find('\n'), got.size() - 1);
    size_t photos = 0;
    for (auto& e : fileList(got.substr(0, got.size() - 1))) photos += e.first.rfind("IMG_", 0) == 0;
    EXPECT_EQ(photos, static_cast<size_t>(files));
}

}  // namespace
