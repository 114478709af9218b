// The pictures of the main screens on the virtual camera's panel, as the
// person holding the camera sees them while the phone app drives the jobs.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "config/config_paths.h"
#include "config/property_config.h"
#include "offset/offset_param.h"
#include "support/camtest.h"
#include "support/vcam_screen.h"
#include "support/vcam_session.h"

using camtest::Client;
using camtest::IconAt;
using camtest::Process;
using camtest::readFile;
using camtest::stateChanged;
using camtest::waitFor;
using camtest::waitForIcon;

namespace {

using camtest::sh;

bool showsNot(int icon, const IconAt& at = IconAt()) {
    return !camtest::panelShowsIcon(camtest::readPanel(), icon, at);
}

bool shows(int icon, const IconAt& at = IconAt()) {
    return waitFor([&] { return camtest::panelShowsIcon(camtest::readPanel(), icon, at); });
}

void key(const std::string& keys) { sh("vcam-key " + keys); }

// The scroll bar of the lists stands at x 55-58 from row 16 down.
bool scrollBarShown() {
    camtest::Panel p = camtest::readPanel();
    return p.at(55, 40) && p.at(58, 40);
}

// The waiting dots of a busy screen in text field 1 (right of the screen's
// icon, rows 24-47; 8 lit pixels a dot), -1 for anything else there.
int waitingDots() {
    camtest::Panel p = camtest::readPanel();
    int lit = 0;
    for (int y = 24; y < 48; ++y)
        for (int x = 62; x < 118; ++x) lit += p.at(x, y);
    return lit % 8 ? -1 : lit / 8;
}

// The dot counts the panel shows in turn, until n changes were seen.
std::vector<int> dotsInTurn(size_t n) {
    std::vector<int> seen;
    waitFor([&] {
        int d = waitingDots();
        if (d > 0 && (seen.empty() || seen.back() != d)) seen.push_back(d);
        return seen.size() >= n;
    });
    return seen;
}

// Waits until LED 0 got n more bytes from mark on; those bytes.
std::string led0Next(size_t mark, size_t n) {
    std::string got;
    waitFor([&] { return (got = camtest::ledWrites(0, mark)).size() >= n; }, std::chrono::seconds(6));
    return got;
}

// A stand-in that waits for /tmp/NAME.go before running the camera's own
// stand-in of the same name (or exiting 0 when there is none).
void holdUntilGo(const std::string& name) {
    camtest::writeScript(name, "echo \"$@\" > /tmp/" + name +
                                   ".args\n"
                                   "while [ ! -e /tmp/" +
                                   name +
                                   ".go ]; do sleep 0.02; done\n"
                                   "rm -f /tmp/" +
                                   name +
                                   ".go\n"
                                   "PATH=${PATH#/tmp/bin:}\n"
                                   "command -v " +
                                   name +
                                   " >/dev/null || exit 0\n"
                                   "exec " +
                                   name + " \"$@\"\n");
}

void go(const std::string& name) { camtest::writeFile("/tmp/" + name + ".go", ""); }

// The recorded width and height of "/etc/appConfig.json".
std::pair<int, int> storedRecordSize() {
    rapidjson::Document d;
    d.Parse(readFile(camera_paths::kAppConfig).c_str());
    if (d.HasParseError() || !d.HasMember("recordVideo")) return {-1, -1};
    return {d["recordVideo"]["width"].GetInt(), d["recordVideo"]["height"].GetInt()};
}

// The sim's configuration with another "setting" array and record size.
std::string configWith(const std::string& setting, int record_width = 1440) {
    rapidjson::Document d;
    d.Parse(readFile(camera_paths::kAppConfig).c_str());
    rapidjson::Document s(&d.GetAllocator());
    s.Parse(setting.c_str());
    d["setting"] = static_cast<rapidjson::Value&>(s);
    d["recordVideo"]["width"] = record_width;
    d["recordVideo"]["height"] = 1440;
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    d.Accept(w);
    return buf.GetString();
}

// The stored files the menus change, put back after each test.
const char* const kStored[] = {camera_paths::kAppConfig, camera_paths::kApConf, camera_paths::kOffsetConf};

// The icon tables; a test may hide one (moved to NAME.hidden).
const char* const kTables[] = {"/lib/resource/EnglishVer.bin", camtest::kChineseTable};
void hideTable(const char* table) { sh(std::string("mv ") + table + " " + table + ".hidden"); }
void showTable(const char* table) { sh(std::string("mv ") + table + ".hidden " + table); }

class ScreensTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        ASSERT_TRUE(camtest::readPanel().ok) << "the camera serves no panel";
        for (const char* f : kStored) saved_.push_back(camtest::readFile(f));
        sh("rm -rf /sdcard/*.pnop /sdcard/*.pnov /tmp/bin /tmp/*.go");
        camtest::usePrivateBin();  // a test may stand in for a program
        for (const char* p : {"mp4Spool", "realTimeStillGrab", "apSwitch"})
            sh(std::string("vcam-standin --clear ") + p);
        startController();
    }
    void TearDown() override {
        camtest::stopController(ctl_);
        sh("vcam-devctl clear all");
        sh("vcam-battery --vbus 0");
        for (size_t i = 0; i < saved_.size(); ++i) camtest::writeFile(kStored[i], saved_[i]);
        for (const char* t : kTables) sh(std::string("[ ! -e ") + t + ".hidden ] || mv " + t + ".hidden " + t);
    }
    void startController() {
        camtest::clearCalls();
        ASSERT_TRUE(camtest::startController(ctl_)) << ctl_.output();
    }
    // The controller reads "/etc/appConfig.json" once, at its start.
    void restartWithConfig(const std::string& config) {
        ASSERT_EQ(camtest::stopController(ctl_), 0);
        camtest::writeFile(camera_paths::kAppConfig, config);
        startController();
    }
    // From the record screen to the settings menu, its first row selected.
    void openSettingsMenu(Client& phone) {
        key("next next");
        EXPECT_EQ(phone.readLine(), stateChanged(0));
        EXPECT_EQ(phone.readLine(), stateChanged(0));
        EXPECT_TRUE(shows(21));
        key("select");
        EXPECT_EQ(phone.readLine(), stateChanged(6));
    }
    Process ctl_;
    std::vector<std::string> saved_;
};

TEST_F(ScreensTest, PhotoScreens) {
    // start-up: the record screen with room on the card
    EXPECT_TRUE(waitForIcon(10));
    EXPECT_TRUE(waitForIcon(60));
    Client phone;
    sh("vcam-key prev");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_TRUE(waitForIcon(7));
    EXPECT_TRUE(waitForIcon(58));  // photos on the card and photos left
    EXPECT_TRUE(showsNot(10));
    sh("vcam-key select");
    EXPECT_EQ(phone.readLine(), stateChanged(1));
    EXPECT_TRUE(waitForIcon(63));
    EXPECT_EQ(phone.readLine(std::chrono::seconds(20)), stateChanged(0));
    EXPECT_TRUE(waitForIcon(58));
    EXPECT_TRUE(showsNot(63));

    // a lens failure: the photo error screen with icon 65
    sh("vcam-devctl fault all eio -1");
    camtest::expectErrorLine("camera err: unable to read camera");
    ASSERT_TRUE(phone.send("{\"cmd\":\"takePhoto\"}\n"));
    EXPECT_EQ(phone.readUntil("stateChanged", std::chrono::seconds(30)), stateChanged(0));
    EXPECT_EQ(phone.readUntil("stateChanged", std::chrono::seconds(30)), stateChanged(1));
    EXPECT_EQ(phone.readUntil("stateChanged", std::chrono::seconds(30)), stateChanged(10));
    EXPECT_TRUE(waitForIcon(65));
    sh("vcam-key select");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_TRUE(waitFor([] { return showsNot(65); }));
}

TEST_F(ScreensTest, RecordLiveAndPreviewScreens) {
    Client phone;
    // while the worker prepares, the screen's dots move once a second:
    // ".", "..", "...", "." again
    struct Waiting {
        const char* worker;
        const char* start;
        int mode;
        const char* stop;
    };
    for (const Waiting& w :
         {Waiting{"mp4Spool", "startRecord", 2, "stopRecord"}, Waiting{"realTimeStillGrab", "startLive", 3, "stopLive"},
          Waiting{"realTimeStillGrab", "startPreview", 9, "stopPreview"}}) {
        sh(std::string("vcam-standin ") + w.worker + " prepare=0");
        ASSERT_TRUE(phone.send(std::string("{\"cmd\":\"") + w.start + "\"}\n"));
        EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(w.mode));
        std::vector<int> seen = dotsInTurn(4);
        ASSERT_EQ(seen.size(), 4u) << w.start << " " << ::testing::PrintToString(seen);
        for (size_t i = 1; i < seen.size(); ++i) EXPECT_EQ(seen[i], seen[i - 1] % 3 + 1) << w.start;
        ASSERT_TRUE(phone.send(std::string("{\"cmd\":\"") + w.stop + "\"}\n"));
        EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0)) << w.stop;
        sh(std::string("vcam-standin --clear ") + w.worker);
    }

    ASSERT_TRUE(phone.send("{\"cmd\":\"startRecord\"}\n"));
    EXPECT_EQ(phone.readUntil("prepareOK"), camtest::prepareOK(2));
    EXPECT_TRUE(phone.readUntil("\"duration\":1}").size());
    EXPECT_TRUE(waitForIcon(75));  // odd second
    EXPECT_TRUE(waitForIcon(74));  // even second
    // under the time and size the counts icon, without words of the photo
    // screen: at most one lit row at the bottom right of the divider
    EXPECT_TRUE(waitForIcon(58));
    camtest::Panel p = camtest::readPanel();
    int lit_rows = 0;
    for (int y = 56; y < 64; ++y) {
        bool lit = false;
        for (int x = 54; x < 128; ++x) lit = lit || p.at(x, y);
        lit_rows += lit;
    }
    EXPECT_LE(lit_rows, 1) << "a label under the recording's time and size";
    ASSERT_TRUE(phone.send("{\"cmd\":\"stopRecord\"}\n"));
    EXPECT_TRUE(waitForIcon(63));
    EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0));
    EXPECT_TRUE(waitForIcon(60));

    ASSERT_TRUE(phone.send("{\"cmd\":\"startLive\"}\n"));
    EXPECT_EQ(phone.readUntil("prepareOK"), camtest::prepareOK(3));
    EXPECT_TRUE(waitForIcon(1));
    EXPECT_TRUE(waitForIcon(19));
    EXPECT_TRUE(waitForIcon(18));
    ASSERT_TRUE(phone.send("{\"cmd\":\"stopLive\"}\n"));
    EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0));

    ASSERT_TRUE(phone.send("{\"cmd\":\"startPreview\"}\n"));
    EXPECT_EQ(phone.readUntil("prepareOK"), camtest::prepareOK(9));
    EXPECT_TRUE(waitForIcon(59));
    ASSERT_TRUE(phone.send("{\"cmd\":\"stopPreview\"}\n"));
    EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0));
    EXPECT_TRUE(waitFor([] { return showsNot(59); }));
    EXPECT_TRUE(waitForIcon(58));  // back on the photo screen
}

}  // namespace

namespace {

// The carousel stops in next order: main icon and one icon of the stop's
// own message area.
struct Stop {
    const char* name;
    int icon;
    int detail;
};
const Stop kCarousel[] = {
    {"photo", 7, 58}, {"record", 10, 60}, {"shutdown", 9, 64}, {"settings", 21, 3}, {"access point", 11, 81}};

TEST_F(ScreensTest, CarouselBothWays) {
    EXPECT_TRUE(shows(10));
    Client phone;
    auto step = [&](const char* k, size_t from, size_t to) {
        key(k);
        EXPECT_EQ(phone.readLine(), stateChanged(0)) << kCarousel[to].name;
        EXPECT_TRUE(shows(kCarousel[to].icon)) << kCarousel[to].name;
        EXPECT_TRUE(shows(kCarousel[to].detail)) << kCarousel[to].name;
        // the stop that was left was erased first
        if (kCarousel[from].detail != kCarousel[to].detail) {
            EXPECT_TRUE(showsNot(kCarousel[from].detail)) << k;
        }
    };
    size_t at = 1;  // the record screen comes first
    for (int i = 0; i < 5; ++i, at = (at + 1) % 5) step("next", at, (at + 1) % 5);
    for (int i = 0; i < 5; ++i, at = (at + 4) % 5) step("prev", at, (at + 4) % 5);
    EXPECT_EQ(at, 1u);
    std::string log = ctl_.output();
    for (const char* name : {"shutdown state", "settings state", "ap state"})
        EXPECT_EQ(camtest::countOf(log, std::string("] ") + name + "\n"), 2u) << name;
}

TEST_F(ScreensTest, AccessPointSwitch) {
    Client phone;
    key("prev prev");  // record, photo, access point
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_TRUE(shows(81));
    EXPECT_TRUE(shows(14));

    // on: "switching on" while the script runs, then the up pictures and a
    // steady LED 0 in colour 4, in place (no push)
    holdUntilGo("apSwitch");
    key("select");
    EXPECT_TRUE(shows(83));
    go("apSwitch");
    EXPECT_TRUE(shows(80));
    EXPECT_TRUE(shows(15));
    EXPECT_TRUE(showsNot(83));
    EXPECT_EQ(readFile("/tmp/apSwitch.args"), "up\n");
    EXPECT_TRUE(phone.quiet());
    size_t mark = camtest::ledLogSize();
    EXPECT_EQ(led0Next(mark, 2).substr(0, 2), "\x14\x14");

    // off: "switching off", then the down pictures and LED 0 dark
    key("select");
    EXPECT_TRUE(shows(82));
    go("apSwitch");
    EXPECT_TRUE(shows(81));
    EXPECT_TRUE(shows(14));
    EXPECT_EQ(readFile("/tmp/apSwitch.args"), "down\n");
    EXPECT_TRUE(phone.quiet());
    mark = camtest::ledLogSize();
    EXPECT_EQ(led0Next(mark, 2).substr(0, 2), "\x10\x10");
    EXPECT_EQ(camtest::countOf(ctl_.output(), "] ap state\n"), 1u) << "switched in place";

    // a switch-on that fails with 3, then with 1: the error screen with its
    // picture and LED 0 blinking fast in colour 1; select goes back
    sh("rm -f /tmp/bin/apSwitch");
    for (int code : {3, 1}) {
        sh("vcam-standin apSwitch up_code=" + std::to_string(code));
        key("select");
        EXPECT_EQ(phone.readLine(), stateChanged(10)) << code;
        EXPECT_TRUE(shows(code == 3 ? 61 : 65)) << code;
        mark = camtest::ledLogSize();
        std::string blink = led0Next(mark, 4);
        EXPECT_NE(blink.find('\x11'), std::string::npos) << code;
        EXPECT_NE(blink.find('\x10'), std::string::npos) << code;
        key("next prev");  // ignored on the error screen
        EXPECT_TRUE(phone.quiet());
        key("select");
        EXPECT_EQ(phone.readLine(), stateChanged(0)) << code;
        EXPECT_TRUE(shows(81)) << code;
        EXPECT_TRUE(showsNot(code == 3 ? 61 : 65)) << code;
        mark = camtest::ledLogSize();
        EXPECT_EQ(led0Next(mark, 2).substr(0, 2), "\x10\x10") << code;
    }
    EXPECT_EQ(camtest::countOf(camtest::readFile("/.vcam/calls.log"), "apSwitch up\n"), 3u);
}

TEST_F(ScreensTest, UsbHostGetsTheCardReadOnly) {
    const char* lun = "/sys/devices/platform/exynos-dwc3.0/exynos-ss-udc.0/gadget/lun0/file";
    Client phone;
    sh("vcam-battery --vbus 1");
    EXPECT_EQ(phone.readLine(std::chrono::seconds(5)), stateChanged(7));
    EXPECT_TRUE(shows(70));
    EXPECT_TRUE(waitFor([&] { return readFile(lun) == "/dev/mmcblk1\n"; })) << readFile(lun);
    // the card's file system stays mounted, read-only, while the host has it
    std::vector<std::string> calls = camtest::calls();
    std::vector<std::string> want = {"umount /sdcard", "mount -o ro /dev/mmcblk1p1 /sdcard"};
    auto umount = std::find(calls.begin(), calls.end(), want[0]);
    ASSERT_NE(umount, calls.end());
    ASSERT_NE(umount + 1, calls.end());
    EXPECT_EQ(*(umount + 1), want[1]);
    EXPECT_EQ(camtest::countOf(ctl_.output(), "] device state\n"), 1u);

    key("next select prev");
    EXPECT_TRUE(phone.quiet(std::chrono::milliseconds(1500)));
    EXPECT_TRUE(shows(70));

    camtest::clearCalls();
    sh("vcam-battery --vbus 0");
    EXPECT_EQ(phone.readLine(std::chrono::seconds(5)), stateChanged(0));
    EXPECT_TRUE(shows(10));
    EXPECT_TRUE(showsNot(70));
    std::vector<std::string> back = {"lsusb", "umount /sdcard", "mount -o rw /dev/mmcblk1p1 /sdcard"};
    EXPECT_EQ(camtest::calls(), back);
}

TEST_F(ScreensTest, ShutdownScreenPowersOff) {
    Client phone;
    key("next");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_TRUE(shows(9));
    EXPECT_TRUE(shows(64));
    // the stand-in sees the panel as it is when shutdown runs
    camtest::writeScript("shutdown",
                         "vcam-screen --raw > /tmp/shutdown.panel\n"
                         "PATH=${PATH#/tmp/bin:} exec shutdown \"$@\"\n");
    key("select");
    EXPECT_EQ(ctl_.wait(), 0) << ctl_.output();
    EXPECT_TRUE(camtest::called("shutdown"));
    std::string panel = readFile("/tmp/shutdown.panel");
    EXPECT_EQ(camtest::countOf(panel, "."), 128u * 64u) << "blank before shutdown:\n" << panel;
}

TEST_F(ScreensTest, SettingsMenuRowByRow) {
    Client phone;
    auto toSettings = [&] {
        key("next next");
        EXPECT_EQ(phone.readLine(), stateChanged(0));
        EXPECT_EQ(phone.readLine(), stateChanged(0));
        EXPECT_TRUE(shows(21));
    };
    // the menu's row r selected: "prev" moves down (button 2), "next" up
    auto openRow = [&](int r, const char* table = IconAt().table) {
        key("select");
        EXPECT_EQ(phone.readLine(), stateChanged(6));
        for (int i = 0; i < r; ++i) key("prev");
        EXPECT_TRUE(shows(std::vector<int>{54, 45, 32, 30, 35, 52}[r], IconAt{r < 3 ? r : 2, true, table})) << r;
        key("select");
    };
    toSettings();

    // the menu: heading, the rows with the current size's badge, the cursor,
    // the selected row inverted and the scroll bar of six rows
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(6));
    EXPECT_TRUE(shows(3));
    EXPECT_TRUE(shows(54, IconAt{0, true}));
    EXPECT_TRUE(shows(24, IconAt{0, true}));  // 1440 is 3K
    EXPECT_TRUE(shows(39));
    EXPECT_TRUE(shows(45, IconAt{1}));
    EXPECT_TRUE(shows(32, IconAt{2}));
    EXPECT_TRUE(waitFor(scrollBarShown));
    EXPECT_NE(ctl_.output().find("on settings state"), std::string::npos);
    key("prev prev prev");  // down to row 3: the window moves
    EXPECT_TRUE(shows(30, IconAt{2, true}));
    EXPECT_TRUE(shows(45, IconAt{0}));
    EXPECT_TRUE(showsNot(39, IconAt{2})) << "no cursor on the calibration row";
    key("next next next select");  // back up to row 0 and open it

    // record size: 1440 selected; the first row stores 960 x 960, which the
    // next recording uses
    EXPECT_EQ(phone.readLine(), stateChanged(6));
    EXPECT_TRUE(shows(6));
    EXPECT_TRUE(shows(46, IconAt{0}));
    EXPECT_TRUE(shows(48, IconAt{1, true}));
    EXPECT_TRUE(shows(50, IconAt{2}));
    EXPECT_FALSE(scrollBarShown());
    key("next");
    EXPECT_TRUE(shows(46, IconAt{0, true}));
    EXPECT_TRUE(shows(48, IconAt{1}));
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_TRUE(shows(21));
    EXPECT_EQ(storedRecordSize(), std::make_pair(960, 960));
    ASSERT_TRUE(phone.send("{\"cmd\":\"startRecord\"}\n"));
    EXPECT_EQ(phone.readUntil("prepareOK"), camtest::prepareOK(2));
    std::vector<std::string> calls = camtest::calls();
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [](const std::string& c) {
        return c.rfind("mp4Spool 2 960 960 ", 0) == 0;
    })) << camtest::readFile("/.vcam/calls.log");
    ASSERT_TRUE(phone.send("{\"cmd\":\"stopRecord\"}\n"));
    EXPECT_EQ(phone.readUntil("stateChanged", std::chrono::seconds(20)), stateChanged(0));
    toSettings();

    // passphrase reset, twice: the default passphrase, once
    const char* ap = camera_paths::kApConf;
    std::string conf = readFile(ap);
    size_t at = conf.find("wpa_passphrase=Vorpa517");
    ASSERT_NE(at, std::string::npos);
    camtest::writeFile(ap, conf.substr(0, at) + "wpa_passphrase=mine&/\\'x" + conf.substr(at + 23));
    for (int i = 0; i < 2; ++i) {
        openRow(1);
        EXPECT_EQ(phone.readLine(), stateChanged(0)) << i;
        EXPECT_TRUE(shows(21));
        EXPECT_EQ(readFile(ap), conf) << i;
    }

    // camera information: two rows with their texts, no highlight
    openRow(2);
    EXPECT_EQ(phone.readLine(), stateChanged(6));
    EXPECT_TRUE(shows(33, IconAt{0}));
    EXPECT_TRUE(shows(34, IconAt{1}));
    camtest::Panel p = camtest::readPanel();
    bool text = false;
    for (int x = 86; x < 127; ++x) text = text || p.at(x, 20);
    EXPECT_TRUE(text) << "module version in the first row";
    key("next prev");
    EXPECT_TRUE(phone.quiet());
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(0));

    // lens calibration: icon 27 while the program runs, then the settings
    holdUntilGo("lensAlign");
    openRow(3);
    EXPECT_TRUE(shows(27));
    EXPECT_TRUE(phone.quiet());
    go("lensAlign");  // then the real program runs
    EXPECT_EQ(phone.readLine(std::chrono::seconds(30)), stateChanged(0));
    EXPECT_TRUE(shows(21));
    EXPECT_EQ(readFile("/tmp/lensAlign.args"), "2 1440 1440 h\n");
    // a calibration that fails changes nothing else
    camtest::writeScript("lensAlign", "exit 5\n");
    openRow(3);
    EXPECT_EQ(phone.readLine(std::chrono::seconds(5)), stateChanged(0));
    EXPECT_TRUE(shows(21));

    // language: Chinese reopens the screen with the Chinese icon table; the
    // back row stores nothing; English again
    const IconAt zh{0, false, camtest::kChineseTable};
    openRow(4);
    EXPECT_EQ(phone.readLine(), stateChanged(6));
    EXPECT_TRUE(shows(36, IconAt{0, true}));
    EXPECT_TRUE(shows(37, IconAt{1}));
    EXPECT_TRUE(shows(52, IconAt{2}));
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_TRUE(shows(3, zh));
    EXPECT_TRUE(shows(21, zh));
    EXPECT_TRUE(showsNot(3));
    EXPECT_NE(readFile(camera_paths::kOffsetConf).find("\"zh_CN\""), std::string::npos);
    std::string stored = readFile(camera_paths::kOffsetConf);
    openRow(4, camtest::kChineseTable);
    EXPECT_EQ(phone.readLine(), stateChanged(6));
    key("prev prev");
    EXPECT_TRUE(shows(52, IconAt{2, true, camtest::kChineseTable}));
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_EQ(readFile(camera_paths::kOffsetConf), stored);
    openRow(4, camtest::kChineseTable);
    EXPECT_EQ(phone.readLine(), stateChanged(6));
    key("prev");
    EXPECT_TRUE(shows(37, IconAt{1, true, camtest::kChineseTable}));
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_TRUE(shows(3));
    EXPECT_NE(readFile(camera_paths::kOffsetConf).find("\"en_US\""), std::string::npos);

    // back: up from the first row wraps to the last
    stored = readFile(camera_paths::kAppConfig) + readFile(camera_paths::kOffsetConf) + readFile(ap);
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(6));
    key("next");
    EXPECT_TRUE(shows(52, IconAt{2, true}));
    EXPECT_TRUE(shows(30, IconAt{0}));
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_TRUE(shows(21));
    EXPECT_EQ(readFile(camera_paths::kAppConfig) + readFile(camera_paths::kOffsetConf) + readFile(ap), stored);
}

// The calibration row with the real program: the loop waits on icon 27 for
// the whole run, the settings screen comes back and the measured offset
// plus the origin is stored.
TEST_F(ScreensTest, CalibrationRowStoresTheMeasuredOffset) {
    camtest::writeFile(camera_paths::kOffsetConf,
                       "{\"language\": \"en_US\", \"origin\": \"2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_512\"}");
    Client phone;
    openSettingsMenu(phone);
    key("prev prev prev");
    EXPECT_TRUE(shows(30, IconAt{2, true}));
    key("select");
    EXPECT_TRUE(shows(27));
    EXPECT_EQ(phone.readLine(std::chrono::seconds(30)), stateChanged(0)) << ctl_.output();
    EXPECT_TRUE(shows(21));
    EXPECT_TRUE(showsNot(27));

    PropertyConfig stored(camera_paths::kOffsetConf);
    EXPECT_EQ(stored.queryProperty("language"), "en_US");
    OffsetParam offset(base64Decode(stored.queryProperty("defaultOffset")));
    ASSERT_EQ(offset.lenses_.size(), 2u);
    EXPECT_EQ(offset.version_, 2);
    // the lens model's discs (lens 1 turned half round)
    EXPECT_NEAR(offset.lenses_[0].x, 432, 4.0);
    EXPECT_NEAR(offset.lenses_[0].y, 475.2, 4.0);
    EXPECT_NEAR(offset.lenses_[1].x, 834.2, 4.0);
    EXPECT_NEAR(offset.lenses_[1].y, 963.8, 4.0);
    EXPECT_NE(ctl_.output().find("base64 string"), std::string::npos) << "the program's log";
}

TEST_F(ScreensTest, RecordSizeListsFromTheConfiguration) {
    Client* phone = nullptr;
    auto openList = [&] {
        key("next next select select");
        for (int mode : {0, 0, 6, 6}) EXPECT_EQ(phone->readLine(), stateChanged(mode));
        EXPECT_TRUE(shows(6));
    };
    auto alive = [&] {
        ASSERT_TRUE(phone->send("{\"cmd\":\"heartTest\"}\n"));
        EXPECT_NE(phone->readUntil("heartTest").find("heartTest"), std::string::npos);
    };

    // five sizes: the scroll bar, the window on the configured one
    ASSERT_NO_FATAL_FAILURE(restartWithConfig(configWith("[960,1088,1360,1440,1920]")));
    {
        Client c;
        phone = &c;
        openList();
        EXPECT_TRUE(waitFor(scrollBarShown));
        EXPECT_TRUE(shows(46, IconAt{0}));
        EXPECT_TRUE(shows(47, IconAt{1}));
        EXPECT_TRUE(shows(48, IconAt{2, true}));
        key("prev");
        EXPECT_TRUE(shows(50, IconAt{2, true}));
        EXPECT_TRUE(shows(48, IconAt{1}));
        key("select");
        EXPECT_EQ(c.readLine(), stateChanged(0));
        EXPECT_EQ(storedRecordSize(), std::make_pair(1920, 1920));
    }

    // an id the table does not hold is left out and logged; a record width
    // the table does not hold: the menu row has no badge
    camtest::expectErrorLine("unsupported setting id 1234 ");
    camtest::expectErrorLine("record width without badge ");
    ASSERT_NO_FATAL_FAILURE(restartWithConfig(configWith("[960,1234,1440]", 1234)));
    {
        Client c;
        phone = &c;
        key("next next select");
        for (int mode : {0, 0, 6}) EXPECT_EQ(c.readLine(), stateChanged(mode));
        EXPECT_TRUE(shows(54, IconAt{0, true}));
        camtest::Panel p = camtest::readPanel();
        for (int badge = 22; badge <= 25; ++badge)
            EXPECT_FALSE(camtest::panelShowsIcon(p, badge, IconAt{0, true})) << badge;
        key("select");
        EXPECT_EQ(c.readLine(), stateChanged(6));
        EXPECT_TRUE(shows(46, IconAt{0, true}));  // 1234 is not configured: the first row
        EXPECT_TRUE(shows(48, IconAt{1}));
        EXPECT_FALSE(scrollBarShown());
        EXPECT_NE(ctl_.output().find("unsupported setting id 1234"), std::string::npos);
        alive();
    }

    // an empty list and lists of the wrong kind: the heading only; moves do
    // nothing, select goes back to the settings screen
    camtest::expectErrorLine("setting config err setting type is not array");
    for (const char* setting : {"[]", "[\"960\"]", "5"}) {
        ASSERT_NO_FATAL_FAILURE(restartWithConfig(configWith(setting)));
        Client c;
        phone = &c;
        openList();
        key("prev next");
        EXPECT_TRUE(c.quiet()) << setting;
        EXPECT_TRUE(showsNot(46) && showsNot(48) && showsNot(50)) << setting;
        key("select");
        EXPECT_EQ(c.readLine(), stateChanged(0)) << setting;
        EXPECT_TRUE(shows(21)) << setting;
        alive();
        EXPECT_EQ(storedRecordSize(), std::make_pair(1440, 1440)) << setting;
    }
}

// The sim's configuration with another default language, or none.
std::string configWithLanguage(const char* language) {
    rapidjson::Document d;
    d.Parse(readFile(camera_paths::kAppConfig).c_str());
    d.RemoveMember("language");
    if (language) d.AddMember("language", rapidjson::StringRef(language), d.GetAllocator());
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    d.Accept(w);
    return buf.GetString();
}

// Without a stored choice, a default language that is unknown, missing from
// the configuration or not a text gives the English icon table; the last two
// with a warning. The controller serves as ever.
TEST_F(ScreensTest, MissingOrUnknownDefaultLanguageGivesEnglish) {
    const IconAt zh{0, false, camtest::kChineseTable};
    const char* warning = "no default language configured, using english";
    // the record screen's "ready" text (icon 60) differs between the tables;
    // the Chinese default's first, so the English one below is new
    camtest::writeFile(camera_paths::kOffsetConf, "{}");
    ASSERT_NO_FATAL_FAILURE(restartWithConfig(configWithLanguage("zh_CN")));
    EXPECT_TRUE(shows(60, zh));
    EXPECT_TRUE(showsNot(60));

    // none, one of the wrong kind (a number) and an unknown one
    const std::string none = configWithLanguage(nullptr);
    const std::pair<std::string, std::string> cases[] = {
        {"none", none}, {"number", "{\"language\":5," + none.substr(1)}, {"fr_FR", configWithLanguage("fr_FR")}};
    for (const auto& [which, config] : cases) {
        const bool named = which == "fr_FR";
        ASSERT_NO_FATAL_FAILURE(restartWithConfig(config)) << which;
        EXPECT_TRUE(shows(60)) << which;
        EXPECT_TRUE(showsNot(60, zh)) << which;
        Client phone;
        ASSERT_TRUE(phone.send("{\"cmd\":\"heartTest\"}\n"));
        EXPECT_EQ(phone.readLine(), camtest::reply("heartTestResult", true)) << which;
        const std::string out = ctl_.output();
        size_t at = out.find(warning);
        if (named) {
            EXPECT_EQ(at, std::string::npos) << out;
        } else {
            ASSERT_NE(at, std::string::npos) << out;
            size_t line = out.rfind('\n', at);
            EXPECT_EQ(out[line == std::string::npos ? 0 : line + 1], 'W') << out;
        }
        EXPECT_EQ(out.find("no member language"), std::string::npos) << out;
        EXPECT_EQ(out.find("language type is not String"), std::string::npos) << out;
        EXPECT_EQ(readFile(camera_paths::kOffsetConf), "{}") << "nothing stored: " << which;
    }
}

// An icon table that cannot be loaded does not lock the owner out: the
// screen opens with the default language's table (or the other one) and an
// ERROR line, and the stored choice stays as it is.
TEST_F(ScreensTest, MissingIconTableFallsBackToAnotherLanguage) {
    const char* en = kTables[0];
    const char* zh = camtest::kChineseTable;
    const IconAt zhAt{0, false, zh};
    auto fallback = [](const char* missing, const char* used) {
        return std::string("icon table ") + missing + " cannot be loaded, using " + used;
    };
    auto errorLine = [&](const char* missing, const char* used) {
        std::string out = ctl_.output();
        size_t at = out.find(fallback(missing, used));
        if (at == std::string::npos) return false;
        size_t line = out.rfind('\n', at);
        return out[line == std::string::npos ? 0 : line + 1] == 'E';
    };

    // Chinese chosen, its table gone: the default (English) table
    ASSERT_EQ(camtest::stopController(ctl_), 0);
    const std::string zh_stored = "{\"language\": \"zh_CN\"}";
    camtest::writeFile(camera_paths::kOffsetConf, zh_stored);
    hideTable(zh);
    camtest::expectErrorLine(fallback(zh, en));
    ASSERT_NO_FATAL_FAILURE(startController());
    EXPECT_TRUE(errorLine(zh, en)) << ctl_.output();
    EXPECT_EQ(ctl_.output().find("open screen err .."), std::string::npos);
    EXPECT_TRUE(shows(10));
    EXPECT_TRUE(shows(60));
    EXPECT_EQ(readFile(camera_paths::kOffsetConf), zh_stored);

    // choosing Chinese in the language menu again: the stored choice, the
    // English table, the controller goes on
    Client phone;
    openSettingsMenu(phone);
    key("prev prev prev prev");
    EXPECT_TRUE(shows(35, IconAt{2, true}));
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(6));
    EXPECT_TRUE(shows(36, IconAt{0, true}));
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_TRUE(shows(21));
    EXPECT_EQ(camtest::countOf(ctl_.output(), "cannot be loaded, using"), 2u) << ctl_.output();
    EXPECT_NE(readFile(camera_paths::kOffsetConf).find("\"zh_CN\""), std::string::npos);
    ASSERT_TRUE(phone.send("{\"cmd\":\"heartTest\"}\n"));
    EXPECT_EQ(phone.readLine(), camtest::reply("heartTestResult", true));

    // English chosen (the default too), its table gone: the Chinese table
    ASSERT_EQ(camtest::stopController(ctl_), 0);
    showTable(zh);
    hideTable(en);
    camtest::expectErrorLine(fallback(en, zh));
    const std::string en_stored = "{\"language\": \"en_US\"}";
    camtest::writeFile(camera_paths::kOffsetConf, en_stored);
    ASSERT_NO_FATAL_FAILURE(startController());
    EXPECT_TRUE(errorLine(en, zh)) << ctl_.output();
    EXPECT_TRUE(shows(10, zhAt));
    EXPECT_TRUE(shows(60, zhAt));
    EXPECT_EQ(readFile(camera_paths::kOffsetConf), en_stored);

    // with the table back the choice counts again
    ASSERT_EQ(camtest::stopController(ctl_), 0);
    showTable(en);
    ASSERT_NO_FATAL_FAILURE(startController());
    EXPECT_TRUE(shows(10));
    EXPECT_EQ(ctl_.output().find("cannot be loaded"), std::string::npos);

    // no table at all: the screen cannot be opened, status 1
    ASSERT_EQ(camtest::stopController(ctl_), 0);
    hideTable(en);
    hideTable(zh);
    camtest::expectErrorLine("open screen err ..");
    EXPECT_FALSE(camtest::startController(ctl_));
    EXPECT_EQ(ctl_.wait(), 1) << ctl_.output();
    EXPECT_NE(ctl_.output().find("open screen err .."), std::string::npos) << ctl_.output();
}

}  // namespace
