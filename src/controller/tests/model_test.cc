// Device model: media names and counter, SD card, network, worker processes
// and their command lines, the camera model's files and tools.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include <gtest/gtest.h>

#include "config/config_paths.h"
#include "fifo_ipc/fifo_paths.h"
#include "model/Camera.h"
#include "model/FileCounter.h"
#include "model/NetworkStatus.h"
#include "model/ProcessController.h"
#include "model/sdcard.h"
#include "support/camtest.h"
#include "support/vcam_session.h"

using camtest::readFile;
using camtest::writeFile;

namespace {

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        camtest::usePrivateBin();
        writeFile(camera_paths::kCounterConf, "0");
        system("rm -f /sdcard/IMG_* /sdcard/VID_*");
        camtest::clearCalls();
    }
};

// Waits for the worker's "prepare" line: it is ready for its stop signal.
bool waitPrepare(ProcessController& pc) {
    std::string got;
    return camtest::waitFor([&] {
        char buf[4096];
        ssize_t n = read(pc.read_fd_, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        return got.find("\"prepare\"") != std::string::npos;
    });
}

void reap(ProcessController& pc, bool& exited, int& code) {
    exited = false;
    camtest::waitFor([&] {
        pc.waitForChildProcess(exited, code);
        return exited;
    });
}

TEST_F(ModelTest, CounterRunsAndWraps) {
    FileCounter c;
    unlink(camera_paths::kCounterConf);
    EXPECT_EQ(c.nextCount(), 1);
    EXPECT_EQ(readFile(camera_paths::kCounterConf), "1");
    writeFile(camera_paths::kCounterConf, "99998");
    EXPECT_EQ(c.nextCount(), 1);
    writeFile(camera_paths::kCounterConf, "99997");
    EXPECT_EQ(c.nextCount(), 99998);
    EXPECT_EQ(readFile(camera_paths::kCounterConf), "99998");
    writeFile(camera_paths::kCounterConf, "junk");
    EXPECT_EQ(c.nextCount(), 1);
    writeFile(camera_paths::kCounterConf, "-5");
    EXPECT_EQ(c.nextCount(), 1);
    writeFile(camera_paths::kCounterConf, "  41");
    EXPECT_EQ(c.nextCount(), 42);
    // a new file takes the old one's place: the old one is never cut short
    ASSERT_EQ(link(camera_paths::kCounterConf, "/etc/cnt.old"), 0);
    EXPECT_EQ(c.nextCount(), 43);
    EXPECT_EQ(readFile("/etc/cnt.old"), "42");
    EXPECT_EQ(readFile(camera_paths::kCounterConf), "43");
    unlink("/etc/cnt.old");
}

TEST_F(ModelTest, NextFilePathSkipsTakenNames) {
    ProcessController pc("/sdcard/");
    writeFile(camera_paths::kCounterConf, "6");
    writeFile("/sdcard/IMG_000007@4K.pnop", "");
    EXPECT_EQ(pc.nextFilePath("IMG_", "@4K.pnop"), "/sdcard/IMG_000008@4K.pnop");
    EXPECT_EQ(readFile(camera_paths::kCounterConf), "8");
    // one counter for every kind of media
    EXPECT_EQ(pc.nextFilePath("VID_", "@3K.pnov"), "/sdcard/VID_000009@3K.pnov");
}

TEST_F(ModelTest, NextFilePathEndsWhenTheCounterCannotBeWritten) {
    ProcessController pc("/sdcard/");
    unlink(camera_paths::kCounterConf);
    ASSERT_EQ(mkdir(camera_paths::kCounterConf, 0755), 0);  // neither readable as a number nor writable
    writeFile("/sdcard/IMG_000001@4K.pnop", "");
    camtest::LogCapture log;
    EXPECT_EQ(pc.nextFilePath("IMG_", "@4K.pnop"), "");
    EXPECT_TRUE(log.contains("write counter file err"));
    // no photo is started without a name
    EXPECT_FALSE(pc.takePhoto(2, 1920, 1920, 0, std::vector<unsigned>{100, 100, 100}.data(), "h"));
    EXPECT_EQ(pc.child_pid_, -1);
    rmdir(camera_paths::kCounterConf);
}

TEST_F(ModelTest, SdcardMountCheck) {
    Sdcard card;
    EXPECT_TRUE(card.inserted_);  // the camera's card node is there
    card.mounts_file_ = "/tmp/mounts";
    writeFile("/tmp/mounts", "/dev/mmcblk1p1 /sdcard vfat ro,relatime 0 0\n");
    EXPECT_FALSE(card.checkIsVfat());
    writeFile("/tmp/mounts", "/dev/mmcblk1p1 /sdcard vfat ro,relatime 0 0\n/dev/sda1 /media/sdcard2 ext4 rw 0 0\n");
    EXPECT_TRUE(card.checkIsVfat());
    writeFile("/tmp/mounts", "/dev/mmcblk1p1 /sdcard vfat rw,relatime 0 0\n");
    EXPECT_TRUE(card.checkIsVfat());
    unlink("/tmp/mounts");
    EXPECT_FALSE(card.checkIsVfat());

    writeFile("/sdcard/.IMG_000001@4K.pnop", "");
    writeFile("/sdcard/IMG_000002@4K.pnop", "");
    writeFile("/sdcard/VID_000003@4K.pnov", "");
    EXPECT_EQ(card.queryTypeNumber(".pnop"), 1);
    EXPECT_EQ(card.queryTypeNumber(".pnov"), 1);
    unsigned long long f = 0, t = 0;
    EXPECT_TRUE(card.queryStatus(f, t));
    EXPECT_GE(t, f);
    EXPECT_GE(card.estimatePhotoLeft(), 0);
    card.inserted_ = false;
    EXPECT_EQ(card.queryTypeNumber(".pnop"), -1);
    EXPECT_EQ(card.estimatePhotoLeft(), -1);
    unlink("/sdcard/.IMG_000001@4K.pnop");
}

TEST_F(ModelTest, NetworkAddress) {
    EXPECT_EQ(NetworkStatus::addressOf("lo"), "127.0.0.1");
    EXPECT_EQ(NetworkStatus::addressOf("nosuch0"), "");
    // the camera's sandbox has neither wlan0 nor eth0
    EXPECT_EQ(NetworkStatus().lookUpIp(), "");
}

TEST_F(ModelTest, PhotoCommandLineAndExitCodes) {
    camtest::writeScript("stillGrab",
                         "echo \"$@\" > /tmp/still.args\ncode=$(cat /tmp/still.code 2>/dev/null)\n"
                         "[ \"$code\" = segv ] && kill -SEGV $$\n"
                         "[ \"$code\" = wait ] && : > /tmp/still.waiting && exec sleep 30\n"
                         "exit ${code:-0}");
    ProcessController pc("/sdcard/");
    unsigned ratio[3] = {90, 100, 110};
    writeFile("/tmp/still.code", "3");
    ASSERT_TRUE(pc.takePhoto(2, 1440, 1080, 0, ratio, "h"));
    pid_t first = pc.child_pid_;
    EXPECT_GT(first, 0);
    bool exited = false;
    int code = -1;
    reap(pc, exited, code);
    EXPECT_TRUE(exited);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(pc.child_pid_, -1);
    EXPECT_EQ(readFile("/tmp/still.args"), "2 1440 1080 0 /sdcard/IMG_000001@3K.pnop h 90 100 110\n");

    // a crash is a failure, the controller's own stop signals are not
    writeFile("/tmp/still.code", "segv");
    ASSERT_TRUE(pc.takePhoto(2, 1440, 1440, 0, ratio, "h"));
    reap(pc, exited, code);
    EXPECT_EQ(code, 128 + SIGSEGV);
    writeFile("/tmp/still.code", "wait");
    for (int sig : {SIGINT, SIGKILL}) {
        unlink("/tmp/still.waiting");
        ASSERT_TRUE(pc.takePhoto(2, 1440, 1440, 0, ratio, "h"));
        // the worker is running (not still starting) when the signal comes
        ASSERT_TRUE(camtest::waitFor([] { return camtest::exists("/tmp/still.waiting"); }));
        kill(pc.child_pid_, sig);
        reap(pc, exited, code);
        EXPECT_EQ(code, 0) << sig;
    }
    // a stop with no child signals nobody
    EXPECT_EQ(pc.forceQuit(), -1);
    EXPECT_EQ(pc.stopRecord(), 0);
    EXPECT_EQ(pc.stopLive(), 0);

    // no label for the width: nothing forked, no name used
    std::string before = readFile(camera_paths::kCounterConf);
    EXPECT_FALSE(pc.takePhoto(2, 1000, 1000, 0, ratio, "h"));
    EXPECT_EQ(pc.child_pid_, -1);
    EXPECT_EQ(readFile(camera_paths::kCounterConf), before);

    // a program that cannot be executed is a failed start
    unlink("/tmp/bin/stillGrab");
    std::string saved = getenv("PATH");
    setenv("PATH", "/tmp/bin:/usr/bin:/bin", 1);
    EXPECT_FALSE(pc.takePhoto(2, 1440, 1440, 0, ratio, "h"));
    setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(pc.child_pid_, -1);
}

TEST_F(ModelTest, RecordAndLiveCommandLines) {
    ProcessController pc("/sdcard/");
    unsigned ratio[3] = {100, 100, 100};
    ASSERT_EQ(pc.startRecord(2, 1920, 1080, 20000000, 0, ratio, "h"), 0);
    EXPECT_EQ(readFile("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"), "performance\n");
    ASSERT_TRUE(camtest::waitFor(
        [] { return camtest::called("mp4Spool 2 1920 1200 20000000 0 /sdcard/VID_000001@4K.pnov h 100 100 100"); }));
    EXPECT_TRUE(camtest::called("gpioPoke 5"));
    ASSERT_TRUE(waitPrepare(pc));
    pc.stopRecord();
    EXPECT_EQ(readFile("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"), "ondemand\n");
    EXPECT_TRUE(camtest::called("gpioPoke 6"));
    bool exited = false;
    int code = -1;
    reap(pc, exited, code);
    EXPECT_TRUE(exited);
    EXPECT_EQ(code, 0);

    ASSERT_EQ(pc.startLive(2, true, 1920, 1080, 4000000, 0, ratio, kLiveUrl, "h", 1), 0);
    ASSERT_TRUE(camtest::waitFor([] {
        return camtest::called(
            "realTimeStillGrab 2 true 1920 1200 rtmp://127.0.0.1/live/panorbit 4000000 0 h 1 100 100 100");
    }));
    ASSERT_TRUE(waitPrepare(pc));
    pc.stopLive();
    reap(pc, exited, code);
    EXPECT_EQ(code, 0);
    ASSERT_EQ(pc.startLive(2, false, 960, 960, 2000000, 0, ratio, kPreviewUrl, "h", 2), 0);
    ASSERT_TRUE(camtest::waitFor([] {
        return camtest::called(
            "realTimeStillGrab 2 false 960 960 rtmp://127.0.0.1/live/preview 2000000 0 h 2 100 100 100");
    }));
    ASSERT_TRUE(waitPrepare(pc));
    pc.stopLive();
    reap(pc, exited, code);
    EXPECT_TRUE(exited);
}

TEST_F(ModelTest, TwoEndedChildrenOneCall) {
    camtest::writeScript("stillGrab", "exit 0");
    ProcessController pc("/sdcard/");
    unsigned ratio[3] = {100, 100, 100};
    pid_t other = fork();
    if (other == 0) _exit(0);
    ASSERT_TRUE(pc.takePhoto(2, 960, 960, 0, ratio, "h"));
    pid_t worker = pc.child_pid_;
    ASSERT_TRUE(camtest::waitFor([&] { return camtest::childEnded(other) && camtest::childEnded(worker); }));
    bool exited = false;
    int code = -1;
    pc.waitForChildProcess(exited, code);
    EXPECT_TRUE(exited);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(waitpid(other, nullptr, WNOHANG), -1);  // reaped as well
}

std::string readPipe(int fd) {
    std::string out;
    camtest::waitFor([&] {
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) out.append(buf, static_cast<size_t>(n));
        return !out.empty() && out.back() == '\n';
    });
    return out;
}

TEST_F(ModelTest, FifoCommands) {
    ProcessController pc("/sdcard/");
    struct stat st;
    ASSERT_EQ(stat(pnocamera::kServerReadFifo, &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    int fd = open(pnocamera::kServerWriteFifo, O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    pc.setCameraProperty(1, "brightness", 10);
    EXPECT_EQ(readPipe(fd),
              "{\"cmd\":\"setCameraProperty\",\"data\":{\"index\":1,\"property\":\"brightness\",\"val\":10}}\n");
    pc.setAudioDenoise(true);
    EXPECT_EQ(readPipe(fd), "{\"cmd\":\"setAudioDenoise\",\"data\":{\"open\":true}}\n");
    pc.setAutoExposureParam(1.5);
    EXPECT_EQ(readPipe(fd), "{\"cmd\":\"setAutoExposureParam\",\"data\":{\"factor\":1.5}}\n");
    EXPECT_EQ(pc.realtimeSnapshot(2, 960, 960), 0);
    EXPECT_EQ(readPipe(fd), "{\"cmd\":\"snapshot\",\"data\":{\"filepath\":\"/sdcard/IMG_000001@2K.pnop\"}}\n");
    EXPECT_EQ(readFile(camera_paths::kCounterConf), "1");
    EXPECT_EQ(pc.realtimeSnapshot(2, 1234, 960), -1);
    EXPECT_EQ(readFile(camera_paths::kCounterConf), "1");
    close(fd);
}

TEST_F(ModelTest, AccessPointSettingsKeepTheFileWhole) {
    Camera cam;
    cam.ap_conf_path_ = "/tmp/ap.conf";
    writeFile("/tmp/ap.conf", "ssid=old\nwpa_passphrase=secret\nbssid=zz\nx=1,ssid=a,b\n");
    EXPECT_EQ(cam.configAP("ssid", "panor1234"), 0);
    // only the key's own line; other lines that hold the text stay as they are
    EXPECT_EQ(readFile("/tmp/ap.conf"), "ssid=panor1234\nwpa_passphrase=secret\nbssid=zz\nx=1,ssid=a,b\n");
    EXPECT_EQ(cam.configAP("wpa_passphrase", "a/b&c\\d'e\"$(f)"), 0);
    EXPECT_EQ(readFile("/tmp/ap.conf"), "ssid=panor1234\nwpa_passphrase=a/b&c\\d'e\"$(f)\nbssid=zz\nx=1,ssid=a,b\n");
    EXPECT_EQ(cam.configAP("ssid", "two\nlines"), -1);
    EXPECT_EQ(cam.configAP("ss.id", "x"), -1);
    EXPECT_EQ(cam.configAP("", "x"), -1);
    EXPECT_EQ(readFile("/tmp/ap.conf"), "ssid=panor1234\nwpa_passphrase=a/b&c\\d'e\"$(f)\nbssid=zz\nx=1,ssid=a,b\n");
}

TEST_F(ModelTest, KernelBuildNumberAndPatterns) {
    EXPECT_EQ(Camera::kernelVersionOf("Linux version 3.4.5 (b@h) #386 SMP PREEMPT"), 386);
    EXPECT_EQ(Camera::kernelVersionOf("Linux version 3.4.5 SMP"), 0);
    EXPECT_EQ(Camera::kernelVersionOf("Linux #x"), 0);
    Camera cam;
    EXPECT_EQ(cam.kernelVersion(), 386);  // the virtual camera's default build
    EXPECT_THROW(matchRegex("(", "x"), RegexError);
    try {
        matchRegex("a(", "x");
    } catch (const RegexError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("PCRE2 compilation failed at offset 2 : ", 0), 0u) << e.what();
    }
    EXPECT_TRUE(matchRegex("z+", "abc").empty());
    auto r = matchRegex("(a)(b)?", "ac");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1], "a");
}

TEST_F(ModelTest, LensPropertyListing) {
    camtest::writeScript("v4l2-ctl",
                         "echo '                     brightness (int)    : min=-64 max=64 value=-5'\n"
                         "echo '                       contrast (int)    : min=0 max=95 value=32'");
    camtest::writeScript("xuProbe", "echo contrast:99\necho gain:16");
    Camera cam;
    auto m = cam.listCameraPropertyAndValue(1);
    ASSERT_EQ(m.count("brightness"), 1u);
    EXPECT_EQ(m["brightness"], "");
    EXPECT_EQ(m["contrast"], "32");
    EXPECT_EQ(m["gain"], "16");
    unlink("/tmp/bin/v4l2-ctl");
    unlink("/tmp/bin/xuProbe");
}

TEST_F(ModelTest, CountersIdAndVersion) {
    Camera cam;
    cam.offset_conf_path_ = "/tmp/offset.conf";
    unlink("/tmp/offset.conf");
    {
        camtest::LogCapture log;
        cam.updatePhotoCount();
        EXPECT_FALSE(log.contains("update photoCount"));
        EXPECT_TRUE(log.contains("photo cnt:0"));
    }
    {
        camtest::LogCapture log;
        cam.updatePhotoCount();
        EXPECT_TRUE(log.contains("update photoCount to 2"));
    }
    cam.updateVideoCount();
    std::string text = readFile("/tmp/offset.conf");
    EXPECT_NE(text.find("\"photoCount\": 2"), std::string::npos) << text;
    EXPECT_NE(text.find("\"videoCount\": 1"), std::string::npos) << text;

    writeFile(camera_paths::kIdConf, "ab cd");
    EXPECT_EQ(cam.queryID(), "ab");
    cam.setID("PANO-7");
    EXPECT_EQ(readFile(camera_paths::kIdConf), "PANO-7");
    unlink(camera_paths::kIdConf);
    EXPECT_EQ(cam.queryID(), "");
    EXPECT_FALSE(cam.queryVersion().empty());

    cam.vbus_path_ = "/tmp/vbus";
    EXPECT_FALSE(cam.isDevice());
    writeFile("/tmp/vbus", "1\n");
    EXPECT_TRUE(cam.isDevice());
    writeFile("/tmp/vbus", "0\n");
    EXPECT_FALSE(cam.isDevice());
    EXPECT_FALSE(cam.syncTime("-s 2020"));
    EXPECT_FALSE(cam.syncTime("x\ny"));
}

TEST_F(ModelTest, JobParameters) {
    Camera cam;
    cam.offset_conf_path_ = "/tmp/offset2.conf";
    ASSERT_EQ(cam.startRecord(1440, 720, -1), 0);
    ASSERT_TRUE(camtest::waitFor(
        [] { return camtest::called("mp4Spool 2 1440 720 20000000 0 /sdcard/VID_000001@3K.pnov h 100 100 100"); }));
    cam.stopRecord();
    bool exited = false;
    int code = -1;
    reap(cam.process_controller_, exited, code);
    ASSERT_EQ(cam.startLive(1920, 1080, 0), 0);  // the zero bitrate reads "live"
    ASSERT_TRUE(camtest::waitFor([] {
        return camtest::called(
            "realTimeStillGrab 2 true 960 960 rtmp://127.0.0.1/live/panorbit 4000000 0 h 1 100 100 100");
    }));
    cam.stopLive();
    reap(cam.process_controller_, exited, code);
    ASSERT_EQ(cam.startLive(1920, 1080, 3000000), 0);
    ASSERT_TRUE(camtest::waitFor([] {
        return camtest::called(
            "realTimeStillGrab 2 true 1920 1200 rtmp://127.0.0.1/live/panorbit 3000000 0 h 1 100 100 100");
    }));
    cam.stopLive();
    reap(cam.process_controller_, exited, code);
}

TEST_F(ModelTest, ConfigurationThatCannotAnswer) {
    std::string saved = readFile(camera_paths::kAppConfig);
    std::string bad = saved;
    bad.replace(bad.find("\"takePhoto\""), 11, "\"takePhotoX\"");
    size_t at = bad.find("\"width\": 960");  // the live size
    ASSERT_NE(at, std::string::npos);
    writeFile(camera_paths::kAppConfig, bad);
    auto cam = std::make_unique<Camera>();
    writeFile(camera_paths::kAppConfig, saved);
    cam->offset_conf_path_ = "/tmp/offset3.conf";
    unlink("/tmp/offset3.conf");
    EXPECT_EQ(cam->takePhoto(), Camera::kConfigError);
    EXPECT_FALSE(camtest::exists("/tmp/offset3.conf") &&
                 readFile("/tmp/offset3.conf").find("photoCount") != std::string::npos);

    // a size without a label is refused before anything is counted or started
    std::string nolabel = saved;
    for (size_t w; (w = nolabel.find("\"width\": 960")) != std::string::npos;)
        nolabel.replace(w, 12, "\"width\": 1000");
    writeFile(camera_paths::kAppConfig, nolabel);
    cam = std::make_unique<Camera>();
    writeFile(camera_paths::kAppConfig, saved);
    cam->offset_conf_path_ = "/tmp/offset3.conf";
    std::string counter = readFile(camera_paths::kCounterConf);
    EXPECT_EQ(cam->realtimeSnapshot(), Camera::kConfigError);
    EXPECT_EQ(readFile(camera_paths::kCounterConf), counter);
}

}  // namespace

namespace {

TEST_F(ModelTest, OutsideTools) {
    Camera cam;
    // the text goes to date as one argument, never through a shell
    EXPECT_TRUE(cam.syncTime("010203042020.05"));
    EXPECT_TRUE(camtest::called("date 010203042020.05"));
    EXPECT_TRUE(camtest::called("hwclock -w"));
    camtest::clearCalls();
    EXPECT_FALSE(cam.syncTime("0102; touch /tmp/pwned")) << "no time to date";
    EXPECT_FALSE(camtest::exists("/tmp/pwned"));
    EXPECT_TRUE(camtest::called("date '0102; touch /tmp/pwned'"));
    EXPECT_FALSE(camtest::called("hwclock -w"));

    EXPECT_EQ(cam.process_controller_.takeGainPhoto(1, 2, 3, 4, 5, "a b"), 0);
    EXPECT_TRUE(camtest::called("gainStillGrab 1 2 3 4 5 'a b' h"));
    camtest::clearCalls();
    camtest::sh("vcam-standin gainStillGrab exit_code=4");
    EXPECT_EQ(cam.process_controller_.takeGainPhoto(1, 2, 3, 4, 5, "x"), 4);

    writeFile(camera_paths::kApConf, "ssid=cam\nwpa_passphrase=12345678\n");
    EXPECT_EQ(cam.openAP(), 0);
    EXPECT_TRUE(camtest::called("apSwitch up"));
    camtest::sh("vcam-standin apSwitch up_code=3");
    EXPECT_EQ(cam.openAP(), 3);
    EXPECT_EQ(cam.closeAP(), 0);
    EXPECT_TRUE(camtest::called("apSwitch down"));
    camtest::sh("vcam-standin --clear apSwitch; vcam-standin --clear gainStillGrab");
}

// The calibration program runs to its end while the model waits, and its
// status word comes back.
TEST_F(ModelTest, LensCalibrationWaitsForTheProgram) {
    if (!camtest::exists("/dev/video0")) GTEST_SKIP() << "a camera without lenses (the board build's run)";
    Camera cam;
    writeFile("/etc/offset.conf", "{\"origin\": \"2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_512\"}");
    const int status = cam.correctOffset();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(readFile("/etc/offset.conf").find("\"defaultOffset\": \"Ml8x"), std::string::npos)
        << readFile("/etc/offset.conf");
    EXPECT_TRUE(camtest::exists("/preview/test.bmp"));

    camtest::sh("vcam-devctl fault all eio -1");
    const std::string before = readFile("/etc/offset.conf");
    const int failed = cam.correctOffset();
    camtest::sh("vcam-devctl clear all");
    ASSERT_TRUE(WIFEXITED(failed)) << failed;
    EXPECT_EQ(WEXITSTATUS(failed), 5);
    EXPECT_EQ(readFile("/etc/offset.conf"), before);
}

}  // namespace
