// Camera jobs end to end: the real controller in the virtual camera, driven
// by phone-app clients over TCP and by the three buttons, with the real
// still-photo program and the stand-in recorder and streaming worker.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_paths.h"
#include "support/camtest.h"
#include "support/vcam_screen.h"
#include "support/vcam_session.h"

using camtest::Client;
using camtest::ledWrites;
using camtest::Process;
using camtest::readFile;
using camtest::refusal;
using camtest::reply;
using camtest::sh;
using camtest::shOut;
using camtest::stateChanged;
using camtest::waitFor;
using camtest::writeFile;

namespace {

class JobsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        // a panel node whose drawing calls fail, unless the camera serves one
        if (!camtest::exists("/dev/oled")) writeFile("/dev/oled", "");
        writeFile("/dev/gpioLed", "");
        camtest::clearCalls();
        for (const char* p : {"mp4Spool", "realTimeStillGrab"}) sh(std::string("vcam-standin --clear ") + p);
        // an empty card and a fresh counter for every case
        sh("rm -f /sdcard/*.pnop /sdcard/*.pnov /sdcard/*.jpg");
        writeFile(camera_paths::kCounterConf, "0");
    }
    void TearDown() override {
        if (ctl_.pid > 0) {
            kill(ctl_.pid, SIGINT);
            ctl_.wait();
        }
        chmod("/sdcard", 0755);
        system("vcam-devctl clear all >/dev/null 2>&1");
        system("vcam-devctl clock run 1 >/dev/null 2>&1");
    }
    void start() {
        camtest::start(ctl_, {"controller", "-d"}, "/tmp/controller.out");
        ASSERT_TRUE(camtest::waitForPort()) << ctl_.output();
        ASSERT_TRUE(camtest::waitForStartUp(ctl_.pid)) << ctl_.output();
    }
    std::string log() const { return ctl_.output(); }
    void key(const std::string& keys) { sh("vcam-key " + keys); }
    void card(const char* what) { sh(std::string("vcam-sdcard ") + what + " " + std::to_string(ctl_.pid)); }

    // The pid of the worker the controller started last ("start PROGRAM ...
    // pid N"), -1 when none.
    pid_t workerPid(const std::string& program) const {
        std::string out = log();
        size_t at = out.rfind("start " + program + " ");
        if (at == std::string::npos) return -1;
        size_t end = out.find('\n', at);
        size_t pid_at = out.rfind(" pid ", end);
        if (pid_at == std::string::npos || pid_at < at) return -1;
        return static_cast<pid_t>(std::stol(out.substr(pid_at + 5, end - pid_at - 5)));
    }
    // Starts a photo over TCP and waits until the worker has opened the
    // lenses ("prepare"); the worker's pid.
    pid_t photoUnderWay(Client& phone) {
        size_t prepared = camtest::countOf(log(), "\"cmd\":\"prepare\"");
        EXPECT_TRUE(phone.send("{\"cmd\":\"takePhoto\"}\n"));
        EXPECT_EQ(phone.readLine(), stateChanged(0));
        EXPECT_EQ(phone.readLine(), stateChanged(1));
        EXPECT_EQ(phone.readLine(), reply("takePhotoResult", true));
        EXPECT_TRUE(waitFor([&] { return camtest::countOf(log(), "\"cmd\":\"prepare\"") > prepared; },
                            std::chrono::seconds(20)))
            << log();
        return workerPid("stillGrab");
    }

    Process ctl_;
};

std::string governor() { return readFile("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"); }

// The stand-ins' calls from index from on, a worker's command line cut to
// its program name.
std::vector<std::string> jobCalls(size_t from) {
    std::vector<std::string> all = camtest::calls(), out;
    for (size_t i = from; i < all.size(); ++i)
        out.push_back(all[i].rfind("gpioPoke ", 0) == 0 ? all[i] : all[i].substr(0, all[i].find(' ')));
    return out;
}

const std::vector<std::string> kRecordStopped = {"gpioPoke 7", "gpioPoke 5", "mp4Spool", "gpioPoke 6", "gpioPoke 8"};

const std::string kModel = "0_1.5_\"q\"_'s';$(touch /tmp/pwned)`id`";

TEST_F(JobsTest, PhotoFromTcpAndFromTheButton) {
    writeFile(camera_paths::kOffsetConf, "{\"defaultOffset\": \"0_1.5_\\\"q\\\"_'s';$(touch /tmp/pwned)`id`\"}");
    writeFile(camera_paths::kCounterConf, "0");
    start();
    Client phone, other;
    ASSERT_TRUE(phone.connected() && other.connected());
    ASSERT_TRUE(waitFor([&] { return log().find("new client connected2") != std::string::npos; }));

    ASSERT_TRUE(phone.send("{\"cmd\":\"takePhoto\"}\n"));
    // both clients see the photo screen, then the busy photo screen; the
    // reply comes after the pushes and only to the requester
    for (Client* c : {&phone, &other}) {
        EXPECT_EQ(c->readLine(), stateChanged(0));
        EXPECT_EQ(c->readLine(), stateChanged(1));
    }
    EXPECT_EQ(phone.readLine(), reply("takePhotoResult", true));
    for (Client* c : {&phone, &other}) {
        EXPECT_EQ(c->readLine(std::chrono::seconds(20)), stateChanged(0)) << log();
    }
    const std::string first = "/sdcard/IMG_000001@3K.pnop";
    ASSERT_TRUE(camtest::exists(first)) << log();
    int w = 0, h = 0;
    ASSERT_TRUE(camtest::jpegSize(first, w, h));
    EXPECT_EQ(w, 2880);
    EXPECT_EQ(h, 1440);
    EXPECT_EQ(shOut("exiv2 -g Exif.Image.Model -Pv '" + first + "' 2>/dev/null"), kModel);
    EXPECT_FALSE(camtest::exists("/tmp/pwned"));
    EXPECT_NE(log().find(" exit from takephoto success"), std::string::npos);
    EXPECT_EQ(log().find("prepareOK"), std::string::npos);
    EXPECT_TRUE(phone.quiet()) << "no prepareOK for photos";
    EXPECT_TRUE(camtest::called("gpioPoke 7"));
    EXPECT_EQ(camtest::calls().back(), "gpioPoke 8");

    // the person: next goes to the record screen, previous back to the
    // photo screen, select takes the next photo
    key("next");
    EXPECT_EQ(other.readLine(), stateChanged(0));
    EXPECT_NE(log().rfind("record video state"), std::string::npos);
    key("prev");
    EXPECT_EQ(other.readLine(), stateChanged(0));
    key("select");
    EXPECT_EQ(other.readLine(), stateChanged(1));
    EXPECT_EQ(other.readLine(std::chrono::seconds(20)), stateChanged(0)) << log();
    const std::string second = "/sdcard/IMG_000002@3K.pnop";
    ASSERT_TRUE(camtest::exists(second)) << log();
    EXPECT_EQ(shOut("exiv2 -g Exif.Image.Model -Pv '" + second + "' 2>/dev/null"), kModel);
    EXPECT_EQ(readFile(camera_paths::kCounterConf), "2");
    EXPECT_TRUE(phone.readUntil(stateChanged(0), std::chrono::seconds(2)).size());
}

// The target of a link, "" when path is no link.
std::string linkTarget(const std::string& path) {
    char buf[256];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

// Links on the card take their names as files do: the photo and the video
// go to the next free names, never through a link.
TEST_F(JobsTest, MediaNamesHeldByLinksAreSkipped) {
    for (const char* f : {"/tmp/evil1.jpg", "/tmp/evil2.mp4"}) unlink(f);
    writeFile("/tmp/keep.jpg", "keep");
    ASSERT_EQ(symlink("/tmp/evil1.jpg", "/sdcard/IMG_000001@3K.pnop"), 0);
    ASSERT_EQ(symlink("/tmp/keep.jpg", "/sdcard/IMG_000002@3K.pnop"), 0);
    ASSERT_EQ(symlink("/tmp/evil2.mp4", "/sdcard/VID_000004@3K.pnov"), 0);
    start();
    Client phone;
    ASSERT_TRUE(phone.send("{\"cmd\":\"takePhoto\"}\n"));
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_EQ(phone.readLine(), stateChanged(1));
    EXPECT_EQ(phone.readLine(), reply("takePhotoResult", true));
    EXPECT_EQ(phone.readLine(std::chrono::seconds(20)), stateChanged(0)) << log();
    EXPECT_NE(log().find(" exit from takephoto success"), std::string::npos) << log();
    int w = 0, h = 0;
    EXPECT_TRUE(camtest::jpegSize("/sdcard/IMG_000003@3K.pnop", w, h)) << log();
    EXPECT_EQ(w, 2880);
    EXPECT_FALSE(camtest::exists("/tmp/evil1.jpg"));
    EXPECT_EQ(readFile("/tmp/keep.jpg"), "keep");
    EXPECT_EQ(linkTarget("/sdcard/IMG_000001@3K.pnop"), "/tmp/evil1.jpg");
    EXPECT_EQ(linkTarget("/sdcard/IMG_000002@3K.pnop"), "/tmp/keep.jpg");

    ASSERT_TRUE(phone.send("{\"cmd\":\"startRecord\"}\n"));
    EXPECT_EQ(phone.readUntil("startRecordResult"), reply("startRecordResult", true));
    EXPECT_EQ(phone.readUntil("prepareOK"), camtest::prepareOK(2));
    EXPECT_TRUE(camtest::called("mp4Spool 2 1440 1440 20000000 0 /sdcard/VID_000005@3K.pnov h 100 100 100"))
        << ::testing::PrintToString(camtest::calls());
    ASSERT_TRUE(phone.send("{\"cmd\":\"stopRecord\"}\n"));
    EXPECT_EQ(phone.readUntil("stopRecordResult"), reply("stopRecordResult", true));
    EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0));
    EXPECT_TRUE(camtest::exists("/sdcard/VID_000005@3K.pnov"));
    EXPECT_FALSE(camtest::exists("/tmp/evil2.mp4"));
    EXPECT_EQ(linkTarget("/sdcard/VID_000004@3K.pnov"), "/tmp/evil2.mp4");
    EXPECT_EQ(readFile(camera_paths::kCounterConf), "5");
}

TEST_F(JobsTest, LensFailureAndUnwritableCardOpenThePhotoErrorScreen) {
    start();
    Client phone;
    sh("vcam-devctl fault all eio -1");
    camtest::expectErrorLine("camera err: unable to read camera");
    ASSERT_TRUE(phone.send("{\"cmd\":\"takePhoto\"}\n"));
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_EQ(phone.readLine(), stateChanged(1));
    EXPECT_EQ(phone.readLine(), reply("takePhotoResult", true));
    EXPECT_EQ(phone.readLine(std::chrono::seconds(30)), stateChanged(10)) << log();
    EXPECT_NE(log().find("exit from takephoto abnormally"), std::string::npos);
    EXPECT_TRUE(camtest::waitForIcon(65)) << "code 5: the common error picture";
    // the job LED blinks fast in colour 1 on the error screen
    size_t mark = camtest::ledLogSize();
    EXPECT_TRUE(waitFor([&] {
        std::string led = ledWrites(0, mark);
        return camtest::countOf(led, "\x11") >= 2 && camtest::countOf(led, "\x10") >= 2;
    })) << ledWrites(0, mark);
    // the error screen is busy: no photo until select leads back
    ASSERT_TRUE(phone.send("{\"cmd\":\"takePhoto\"}\n"));
    EXPECT_EQ(phone.readLine(), refusal("takePhotoResult", "camera in use"));
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    // back at rest: LED 0 steady and dark (no access point); once two dark
    // writes follow each other the blinking has stopped
    EXPECT_TRUE(waitFor([] {
        std::string led = ledWrites(0);
        return led.size() >= 2 && led.compare(led.size() - 2, 2, "\x10\x10") == 0;
    }));
    mark = camtest::ledLogSize();
    EXPECT_TRUE(waitFor([&] { return ledWrites(0, mark).size() >= 2; }));
    EXPECT_EQ(ledWrites(0, mark).find_first_not_of('\x10'), std::string::npos) << ledWrites(0, mark);
    sh("vcam-devctl clear all");

    // a card folder the worker cannot write into: status 3
    ASSERT_EQ(chmod("/sdcard", 0555), 0);
    camtest::expectErrorLine("create jpeg file err: Permission denied");
    ASSERT_TRUE(phone.send("{\"cmd\":\"takePhoto\"}\n"));
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_EQ(phone.readLine(), stateChanged(1));
    EXPECT_EQ(phone.readLine(), reply("takePhotoResult", true));
    EXPECT_EQ(phone.readLine(std::chrono::seconds(30)), stateChanged(10)) << log();
    EXPECT_TRUE(camtest::waitForIcon(61)) << "code 3: the picture of its own";
    chmod("/sdcard", 0755);
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_EQ(camtest::calls().back(), "gpioPoke 8");
}

TEST_F(JobsTest, RecordWithStateAndStop) {
    start();
    Client phone, other;
    sh("vcam-standin mp4Spool segment_seconds=1.5");
    ASSERT_TRUE(phone.send("{\"cmd\":\"startRecord\",\"data\":{\"recordWidth\":1920,\"bitrate\":8000000}}\n"));
    for (Client* c : {&phone, &other}) EXPECT_EQ(c->readLine(), stateChanged(2));
    EXPECT_EQ(phone.readLine(), reply("startRecordResult", true));
    for (Client* c : {&phone, &other}) EXPECT_EQ(c->readLine(), camtest::prepareOK(2));
    // one push a second with growing size and duration
    std::string a = other.readUntil("recordState");
    EXPECT_NE(a.find("\"duration\":1}"), std::string::npos) << a;
    std::string b = other.readUntil("recordState");
    EXPECT_NE(b.find("\"duration\":2}"), std::string::npos) << b;
    std::string c = other.readUntil("recordState");
    EXPECT_NE(c.find("\"duration\":3}"), std::string::npos) << c;
    EXPECT_TRUE(phone.readUntil("\"duration\":3}").size());
    size_t mark = 0;
    // recordWidth alone does not count: the configured size, the given bitrate
    EXPECT_TRUE(camtest::called("mp4Spool 2 1440 1440 8000000 0 /sdcard/VID_000001@3K.pnov h 100 100 100"))
        << ::testing::PrintToString(camtest::calls());
    EXPECT_EQ(readFile("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"), "performance\n");

    // start commands are refused while recording
    ASSERT_TRUE(
        phone.send("{\"cmd\":\"startRecord\"}\n{\"cmd\":\"startLive\"}\n{\"cmd\":\"startPreview\"}\n"
                   "{\"cmd\":\"startRecordPreview\"}\n{\"cmd\":\"takePhoto\"}\n"
                   "{\"cmd\":\"stopLive\"}\n{\"cmd\":\"stopPreview\"}\n{\"cmd\":\"stopRecordPreview\"}\n"
                   "{\"cmd\":\"realtimeSnapshot\"}\n"));
    EXPECT_EQ(phone.readUntil("startRecordResult"), refusal("startRecordResult", "camera in use"));
    EXPECT_EQ(phone.readUntil("startLiveResult"), refusal("startLiveResult", "camera in use"));
    EXPECT_EQ(phone.readUntil("startPreviewResult"), refusal("startPreviewResult", "camera in use"));
    EXPECT_EQ(phone.readUntil("startRecordPreviewResult"), refusal("startRecordPreviewResult", "camera in use"));
    EXPECT_EQ(phone.readUntil("takePhotoResult"), refusal("takePhotoResult", "camera in use"));
    EXPECT_EQ(phone.readUntil("stopLiveResult"), refusal("stopLiveResult", "not on live"));
    EXPECT_EQ(phone.readUntil("stopPreviewResult"), refusal("stopPreviewResult", "not on preview"));
    EXPECT_EQ(phone.readUntil("stopRecordPreviewResult"), refusal("stopRecordPreviewResult", "not on preview"));
    EXPECT_EQ(phone.readUntil("realtimeSnapshotResult"), refusal("realtimeSnapshotResult", "fuck"));

    ASSERT_TRUE(phone.send("{\"cmd\":\"stopRecord\"}\n"));
    EXPECT_EQ(phone.readUntil("stopRecordResult"), reply("stopRecordResult", true));
    EXPECT_EQ(other.readUntil("stateChanged"), stateChanged(0));
    EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0));
    EXPECT_NE(log().find(" exit from record success"), std::string::npos);
    EXPECT_EQ(readFile("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"), "ondemand\n");
    auto calls = camtest::calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.back(), "gpioPoke 8");
    EXPECT_EQ(calls[calls.size() - 2], "gpioPoke 6") << ::testing::PrintToString(calls);
    // the stop's calls, each once, in their order: fan off before the pins go back
    std::vector<std::string> job = jobCalls(mark);
    job.erase(job.begin(), std::find(job.begin(), job.end(), "gpioPoke 7"));
    EXPECT_EQ(job, kRecordStopped);
    EXPECT_TRUE(camtest::exists("/sdcard/VID_000001@3K.pnov"));
    // no record tick after the stop
    EXPECT_EQ(phone.readUntil("recordState", std::chrono::milliseconds(1500)), "");
    ASSERT_TRUE(phone.send("{\"cmd\":\"stopRecord\"}\n"));
    EXPECT_EQ(phone.readLine(), refusal("stopRecordResult", "not on recording video"));
}

TEST_F(JobsTest, RecordFromTheButtonStopsWhenTheCardGoes) {
    start();
    Client phone;
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(2));
    EXPECT_EQ(phone.readLine(), camtest::prepareOK(2));
    EXPECT_TRUE(phone.readUntil("\"duration\":1}").size());
    card("remove");
    EXPECT_EQ(phone.readUntil("SDCardIsInsert"),
              "{\"type\":\"SDCardIsInsert\",\"code\":true,\"data\":{\"isInsert\":false,\"isSupported\":true}}");
    EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0));
    EXPECT_NE(log().find("exit due to sdcard reject"), std::string::npos);
    EXPECT_NE(log().find(" exit from record success"), std::string::npos);
    // without a card nothing starts
    ASSERT_TRUE(phone.send("{\"cmd\":\"takePhoto\"}\n{\"cmd\":\"startRecord\"}\n{\"cmd\":\"realtimeSnapshot\"}\n"));
    EXPECT_EQ(phone.readLine(), refusal("takePhotoResult", "sdcard not insert"));
    EXPECT_EQ(phone.readLine(), refusal("startRecordResult", "sdcard not insert"));
    EXPECT_EQ(phone.readLine(), refusal("realtimeSnapshotResult", "sdcard not insert"));
    key("select");
    EXPECT_TRUE(phone.quiet(std::chrono::milliseconds(2500))) << "select without a card only redraws";
    card("insert");
    EXPECT_EQ(phone.readLine(),
              "{\"type\":\"SDCardIsInsert\",\"code\":true,\"data\":{\"isInsert\":true,\"isSupported\":true}}");
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(2));
    EXPECT_EQ(phone.readLine(), camtest::prepareOK(2));
    key("select select");
    EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0)) << log();
    EXPECT_EQ(camtest::countOf(log(), " exit from record success"), 2u);
}

// A recorder that ignores SIGINT: the stop alarm (fired here at once instead
// of after its 15 seconds) kills it, and the stop still counts as a success.
TEST_F(JobsTest, RecorderIgnoringTheStopIsKilledByTheAlarm) {
    start();
    Client phone;
    sh("vcam-standin mp4Spool ignore_sigint=1");
    ASSERT_TRUE(phone.send("{\"cmd\":\"startRecord\"}\n"));
    EXPECT_EQ(phone.readLine(), stateChanged(2));
    EXPECT_EQ(phone.readLine(), reply("startRecordResult", true));
    EXPECT_TRUE(phone.readUntil("\"duration\":1}").size());
    ASSERT_TRUE(phone.send("{\"cmd\":\"stopRecord\"}\n"));
    EXPECT_EQ(phone.readUntil("stopRecordResult"), reply("stopRecordResult", true));
    key("select");  // a second stop changes nothing
    ASSERT_TRUE(waitFor([&] { return log().find("button pressed ") != std::string::npos; })) << log();
    EXPECT_TRUE(camtest::called("gpioPoke 6"));
    EXPECT_EQ(phone.readUntil("stateChanged", std::chrono::milliseconds(500)), "") << "the recorder ignored the stop";
    kill(ctl_.pid, SIGALRM);
    EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0)) << log();
    EXPECT_NE(log().find("sig alarm!!!!!!!!!!!!!!!!! state type 2"), std::string::npos);
    EXPECT_NE(log().find(" exit from record success"), std::string::npos);
    EXPECT_EQ(readFile("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"), "ondemand\n");
    // lowered by the stop, and only there
    std::vector<std::string> job = jobCalls(0);
    job.erase(job.begin(), std::find(job.begin(), job.end(), "gpioPoke 7"));
    EXPECT_EQ(job, kRecordStopped);
}

// Whatever raised the CPU governor and the fan for a recording or stream
// lowers them when its worker is gone without a stop: ended by itself,
// killed, or never started.
TEST_F(JobsTest, WorkerGoneWithoutItsStopGivesTheCpuAndFanBack) {
    start();
    Client phone;
    struct Ended {
        const char* worker;
        const char* start;
        int mode;
    };
    for (const Ended& e : {Ended{"mp4Spool", "startRecord", 2}, Ended{"realTimeStillGrab", "startLive", 3}}) {
        size_t mark = camtest::calls().size();
        sh(std::string("vcam-standin ") + e.worker + " end_after=1 end_code=0");
        ASSERT_TRUE(phone.send(std::string("{\"cmd\":\"") + e.start + "\"}\n"));
        EXPECT_EQ(phone.readLine(), stateChanged(e.mode));
        EXPECT_EQ(phone.readUntil("prepareOK"), camtest::prepareOK(e.mode));
        EXPECT_EQ(governor(), "performance\n");
        std::string left = phone.readUntil("stateChanged");
        EXPECT_NE(left, "") << e.start << log();
        EXPECT_EQ(governor(), "ondemand\n") << e.start;
        EXPECT_EQ(jobCalls(mark),
                  (std::vector<std::string>{"gpioPoke 7", "gpioPoke 5", e.worker, "gpioPoke 6", "gpioPoke 8"}))
            << e.start;
        sh(std::string("vcam-standin --clear ") + e.worker);
        if (left != stateChanged(0)) {
            key("select");
            EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0)) << e.start;
        }
    }

    // killed from outside (the out-of-memory killer)
    size_t mark = camtest::calls().size();
    ASSERT_TRUE(phone.send("{\"cmd\":\"startRecord\"}\n"));
    EXPECT_EQ(phone.readUntil("prepareOK"), camtest::prepareOK(2));
    pid_t recorder = workerPid("mp4Spool");
    ASSERT_GT(recorder, 0) << log();
    ASSERT_EQ(kill(recorder, SIGKILL), 0);
    EXPECT_NE(phone.readUntil("stateChanged"), "") << log();
    EXPECT_EQ(governor(), "ondemand\n");
    EXPECT_EQ(jobCalls(mark), kRecordStopped);

    // a recorder that cannot be executed (a link to itself)
    camtest::usePrivateBin();
    ASSERT_EQ(symlink("mp4Spool", "/tmp/bin/mp4Spool"), 0);
    ASSERT_EQ(kill(ctl_.pid, SIGINT), 0);
    ASSERT_EQ(ctl_.wait(), 0);
    start();  // on the new PATH
    Client again;
    mark = camtest::calls().size();
    camtest::expectErrorLine("start mp4Spool failed");
    camtest::expectErrorLine("record not started");
    ASSERT_TRUE(again.send("{\"cmd\":\"startRecord\"}\n"));
    EXPECT_EQ(again.readUntil("startRecordResult"), refusal("startRecordResult", "start failed")) << log();
    unlink("/tmp/bin/mp4Spool");
    EXPECT_EQ(governor(), "ondemand\n");
    EXPECT_EQ(jobCalls(mark), (std::vector<std::string>{"gpioPoke 7", "gpioPoke 5", "gpioPoke 6", "gpioPoke 8"}));
}

TEST_F(JobsTest, LiveWithClockPushesAndStop) {
    start();
    Client phone, other;
    size_t mark = camtest::calls().size();
    ASSERT_TRUE(phone.send("{\"cmd\":\"startLive\",\"data\":{\"width\":1920,\"height\":1080}}\n"));
    for (Client* c : {&phone, &other}) EXPECT_EQ(c->readLine(), stateChanged(3));
    EXPECT_EQ(phone.readLine(), reply("startLiveResult", true));
    for (Client* c : {&phone, &other}) EXPECT_EQ(c->readLine(), camtest::prepareOK(3));
    EXPECT_EQ(other.readLine(), "{\"type\":\"VRState\",\"code\":true,\"data\":{\"duration\":1}}");
    EXPECT_EQ(other.readLine(), "{\"type\":\"VRState\",\"code\":true,\"data\":{\"duration\":2}}");
    // without a bitrate all three come from the configuration
    EXPECT_TRUE(
        camtest::called("realTimeStillGrab 2 true 960 960 rtmp://127.0.0.1/live/panorbit 4000000 0 h 1 100 100 100"));
    ASSERT_TRUE(phone.send("{\"cmd\":\"stopRecord\"}\n{\"cmd\":\"stopLive\"}\n"));
    EXPECT_EQ(phone.readUntil("stopRecordResult"), refusal("stopRecordResult", "not on recording video"));
    EXPECT_EQ(phone.readUntil("stopLiveResult"), reply("stopLiveResult", true));
    EXPECT_EQ(other.readUntil("stateChanged"), stateChanged(0));
    EXPECT_NE(log().find("exit from live success"), std::string::npos);
    EXPECT_EQ(jobCalls(mark),
              (std::vector<std::string>{"gpioPoke 7", "gpioPoke 5", "realTimeStillGrab", "gpioPoke 6", "gpioPoke 8"}));
    EXPECT_EQ(governor(), "ondemand\n");
    EXPECT_EQ(other.readUntil("VRState", std::chrono::milliseconds(1500)), "");

    // a worker that ignores the stop: the alarm's force-quit ends it
    sh("vcam-standin realTimeStillGrab ignore_sigint=1");
    ASSERT_TRUE(phone.send("{\"cmd\":\"startLive\",\"data\":{\"width\":1920,\"height\":1080,\"bitrate\":1}}\n"));
    EXPECT_EQ(phone.readUntil("startLiveResult"), reply("startLiveResult", true));
    EXPECT_TRUE(waitFor([] {
        return camtest::called("realTimeStillGrab 2 true 1920 1200 rtmp://127.0.0.1/live/panorbit 1 0 h 1 100 100 100");
    })) << ::testing::PrintToString(camtest::calls());
    EXPECT_EQ(phone.readUntil("prepareOK"), camtest::prepareOK(3));
    key("select");
    ASSERT_TRUE(waitFor(
        [&] { return camtest::countOf(log(), "exit from live success") == 1 && camtest::called("gpioPoke 6"); }));
    EXPECT_TRUE(phone.quiet(std::chrono::milliseconds(500)) ||
                phone.readUntil("stateChanged", std::chrono::milliseconds(500)).empty());
    kill(ctl_.pid, SIGALRM);
    EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0)) << log();
    EXPECT_EQ(camtest::countOf(log(), "exit from live success"), 2u);
}

TEST_F(JobsTest, PreviewsWithSnapshots) {
    start();
    Client phone, other;
    ASSERT_TRUE(phone.send("{\"cmd\":\"startPreview\"}\n"));
    for (Client* c : {&phone, &other}) EXPECT_EQ(c->readLine(), stateChanged(9));
    EXPECT_EQ(phone.readLine(), reply("startPreviewResult", true));
    for (Client* c : {&phone, &other}) EXPECT_EQ(c->readLine(), camtest::prepareOK(9));
    EXPECT_TRUE(
        camtest::called("realTimeStillGrab 2 false 960 960 rtmp://127.0.0.1/live/preview 2000000 0 h 2 100 100 100"));
    ASSERT_TRUE(waitFor([] {
        std::string f = readFile("/.vcam/fifo.log");
        return camtest::countOf(f,
                                "{\"cmd\":\"setCameraProperty\",\"data\":{\"index\":0,\"property\":\"sharpness\","
                                "\"val\":0}}") == 1 &&
               camtest::countOf(f,
                                "{\"cmd\":\"setCameraProperty\",\"data\":{\"index\":1,\"property\":\"sharpness\","
                                "\"val\":0}}") == 1;
    }));
    writeFile(camera_paths::kCounterConf, "41");
    ASSERT_TRUE(phone.send("{\"cmd\":\"realtimeSnapshot\"}\n{\"cmd\":\"stopRecordPreview\"}\n"));
    EXPECT_EQ(phone.readLine(), refusal("stopRecordPreviewResult", "not on preview"));
    const std::string snap =
        "{\"type\":\"realtimeSnapshotResult\",\"code\":true,\"data\":{\"path\":"
        "\"/sdcard/IMG_000042@2K.pnop\"}}";
    EXPECT_EQ(phone.readLine(), snap);
    EXPECT_EQ(other.readLine(), snap);
    EXPECT_TRUE(camtest::exists("/sdcard/IMG_000042@2K.pnop"));
    sh("vcam-standin realTimeStillGrab snapshot=fail");
    ASSERT_TRUE(other.send("{\"cmd\":\"realtimeSnapshot\"}\n"));
    EXPECT_EQ(phone.readLine(), "{\"type\":\"realtimeSnapshotResult\",\"code\":false,\"what\":\"snapshot failed\"}");
    ASSERT_TRUE(phone.send("{\"cmd\":\"stopPreview\"}\n"));
    EXPECT_EQ(phone.readLine(), reply("stopPreviewResult", true));
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_NE(log().find(" exit from realtimeTakePhoto success"), std::string::npos);

    ASSERT_TRUE(phone.send("{\"cmd\":\"startRecordPreview\"}\n"));
    EXPECT_EQ(phone.readLine(), stateChanged(11));
    EXPECT_EQ(phone.readLine(), reply("startRecordPreviewResult", true));
    EXPECT_EQ(phone.readLine(), camtest::prepareOK(11));
    ASSERT_TRUE(
        phone.send("{\"cmd\":\"realtimeSnapshot\"}\n{\"cmd\":\"stopPreview\"}\n"
                   "{\"cmd\":\"takeGainPhoto\"}\n{\"cmd\":\"stopRecordPreview\"}\n"));
    EXPECT_EQ(phone.readLine(), refusal("realtimeSnapshotResult", "fuck"));
    EXPECT_EQ(phone.readLine(), refusal("stopPreviewResult", "not on preview"));
    // takeGainPhoto answers nothing; the next command is answered
    EXPECT_EQ(phone.readLine(), reply("stopRecordPreviewResult", true));
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_FALSE(camtest::called("gainStillGrab"));

    // a worker that ends by itself is a failure, whatever its status
    sh("vcam-standin realTimeStillGrab end_after=0.5 end_code=0");
    ASSERT_TRUE(phone.send("{\"cmd\":\"startPreview\"}\n"));
    EXPECT_EQ(phone.readLine(), stateChanged(9));
    EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(10));
    EXPECT_NE(log().find("exit from realtimeTakePhoto abnormally"), std::string::npos);
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
}

TEST_F(JobsTest, IdleRefusals) {
    start();
    Client phone;
    ASSERT_TRUE(
        phone.send("{\"cmd\":\"stopRecord\"}\n{\"cmd\":\"stopLive\"}\n{\"cmd\":\"stopPreview\"}\n"
                   "{\"cmd\":\"stopRecordPreview\"}\n{\"cmd\":\"realtimeSnapshot\"}\n"
                   "{\"cmd\":\"takeGainPhoto\"}\n{\"cmd\":\"heartTest\"}\n"));
    EXPECT_EQ(phone.readLine(), refusal("stopRecordResult", "not on recording video"));
    EXPECT_EQ(phone.readLine(), refusal("stopLiveResult", "not on live"));
    EXPECT_EQ(phone.readLine(), refusal("stopPreviewResult", "not on preview"));
    EXPECT_EQ(phone.readLine(), refusal("stopRecordPreviewResult", "not on preview"));
    EXPECT_EQ(phone.readLine(), refusal("realtimeSnapshotResult", "fuck"));
    EXPECT_EQ(phone.readLine(), reply("heartTestResult", true));
}

// A photo worker ended by a signal (the out-of-memory killer's SIGKILL, a
// SIGTERM) took no photo: the photo error screen, never the success. The
// lenses run slowly here, so the worker is still at work when it is killed.
TEST_F(JobsTest, PhotoWorkerEndedBySignalIsAFailure) {
    start();
    Client phone;
    sh("vcam-devctl clock run 0.01");
    camtest::expectErrorLine("takephoto ended by signal ");
    for (int sig : {SIGTERM, SIGKILL}) {
        pid_t worker = photoUnderWay(phone);
        ASSERT_GT(worker, 0) << log();
        ASSERT_EQ(kill(worker, sig), 0) << sig;
        EXPECT_EQ(phone.readLine(std::chrono::seconds(20)), stateChanged(10)) << sig << log();
        EXPECT_NE(log().find("takephoto ended by signal " + std::to_string(sig)), std::string::npos) << log();
        EXPECT_EQ(camtest::countOf(log(), "exit from takephoto abnormally"), sig == SIGTERM ? 1u : 2u);
        EXPECT_EQ(log().find(" exit from takephoto success"), std::string::npos) << sig;
        EXPECT_TRUE(camtest::waitForIcon(65)) << sig;
        EXPECT_FALSE(camtest::exists("/sdcard/IMG_000001@3K.pnop")) << sig;
        EXPECT_EQ(camtest::calls().back(), "gpioPoke 8") << sig;
        key("select");
        EXPECT_EQ(phone.readLine(), stateChanged(0)) << sig;
    }
}

// A photo worker that hangs (stopped here) holds the busy photo screen only
// until the photo's time limit: the alarm then kills it and the error
// screen comes. The alarm is fired at once instead of after its 30 seconds.
TEST_F(JobsTest, HangingPhotoWorkerIsKilledAtTheTimeLimit) {
    start();
    Client phone, other;
    sh("vcam-devctl clock run 0.01");
    pid_t worker = photoUnderWay(phone);
    ASSERT_GT(worker, 0) << log();
    ASSERT_EQ(kill(worker, SIGSTOP), 0);
    ASSERT_TRUE(other.send("{\"cmd\":\"takePhoto\"}\n{\"cmd\":\"startRecord\"}\n"));
    EXPECT_EQ(other.readUntil("takePhotoResult"), refusal("takePhotoResult", "camera in use"));
    EXPECT_EQ(other.readUntil("startRecordResult"), refusal("startRecordResult", "camera in use"));
    camtest::expectErrorLine("take photo not done in 30 s, worker killed");
    camtest::expectErrorLine("takephoto ended by signal 9");
    kill(ctl_.pid, SIGALRM);
    EXPECT_EQ(phone.readLine(std::chrono::seconds(20)), stateChanged(10)) << log();
    EXPECT_NE(log().find("sig alarm!!!!!!!!!!!!!!!!! state type 1"), std::string::npos);
    EXPECT_NE(log().find("take photo not done in 30 s, worker killed"), std::string::npos) << log();
    EXPECT_NE(log().find("takephoto ended by signal 9"), std::string::npos) << log();
    EXPECT_EQ(log().find(" exit from takephoto success"), std::string::npos);
    EXPECT_TRUE(waitFor([&] { return kill(worker, 0) != 0; })) << "reaped";
    EXPECT_TRUE(camtest::waitForIcon(65));
    key("select");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    // an alarm on the idle screen does nothing
    kill(ctl_.pid, SIGALRM);
    EXPECT_TRUE(waitFor([&] { return log().find("sig alarm!!!!!!!!!!!!!!!!! state type 0") != std::string::npos; }));
    EXPECT_TRUE(phone.quiet());
}

// SIGTERM, as an init system sends it at power-off, ends the controller as
// SIGINT does: the recording is stopped, status 0, no crash report.
TEST_F(JobsTest, SigtermStopsTheRecordingAndEndsCleanly) {
    start();
    Client phone;
    ASSERT_TRUE(phone.send("{\"cmd\":\"startRecord\"}\n"));
    EXPECT_EQ(phone.readLine(), stateChanged(2));
    EXPECT_EQ(phone.readLine(), reply("startRecordResult", true));
    EXPECT_EQ(phone.readLine(), camtest::prepareOK(2));
    pid_t recorder = workerPid("mp4Spool");
    ASSERT_GT(recorder, 0) << log();
    ASSERT_EQ(kill(ctl_.pid, SIGTERM), 0);
    EXPECT_EQ(ctl_.wait(), 0) << log();
    EXPECT_TRUE(phone.closedByPeer());
    std::string out = ctl_.output();
    EXPECT_NE(out.find("exit from child process "), std::string::npos) << out;
    EXPECT_EQ(out.find("SIGTERM"), std::string::npos) << out;
    EXPECT_EQ(out.find("*** "), std::string::npos) << out;
    EXPECT_EQ(readFile("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"), "ondemand\n");
    EXPECT_TRUE(camtest::called("gpioPoke 6"));
    // the recorder got its stop and ended
    EXPECT_TRUE(waitFor([&] { return camtest::countProcesses("mp4Spool") == 0; }, std::chrono::seconds(10)))
        << recorder;
}

}  // namespace
