// The screen states in one process: what each screen draws (every panel
// call is recorded), its LED, its per-second task, the refusals of the job
// commands that need a full or read-only card, and jobs that cannot start.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <gtest/gtest.h>

#include "config/config_paths.h"
#include "config/property_config.h"
#include "controller/controller_context.h"
#include "controller/state/ErrorState.h"
#include "controller/state/OnLiveState.h"
#include "controller/state/OnRecordingState.h"
#include "controller/state/OnTakingPhotoState.h"
#include "controller/state/PreviewState.h"
#include "controller/state/RealTimeTakePhotoState.h"
#include "controller/state/RecordVideoState.h"
#include "controller/state/TakePhotoState.h"
#include "controller/state/gyro_correct_state.h"
#include "controller/state/settings_state.h"
#include "device/oled.h"
#include "fifo_ipc/cmd_msg.h"
#include "in_process.h"
#include "support/camtest.h"
#include "support/vcam_session.h"

using camtest::readFile;
using camtest::refusal;
using camtest::stateChanged;
using camtest::waitFor;
using camtest::writeFile;

namespace {

// Panel calls as "logo N", "clear N" and "text F <text>".
std::vector<std::string> g_panel;

std::string iconCall(const matrixParam* p) {
    for (int i = 0; i < oled_iconCount(); ++i) {
        const OledIcon* ic = oled_icon(i);
        if (ic->name == p->name) return (p->matrix == ic->matrix ? "logo " : "clear ") + std::to_string(i);
    }
    return "bitmap";
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    unsigned long arg = va_arg(ap, unsigned long);
    va_end(ap);
    if (fd < 0 || fd != oled_fd()) return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    if (request == OLED_IOC_NUM) {
        auto* w = reinterpret_cast<wordParam*>(arg);
        // field 1 is the one wide-font field; the list texts stand at x 86
        int field = w->large ? 1 : w->pos.y == 0 ? 0 : w->pos.y == 40 ? 2 : 3 + (w->pos.y - 16) / 16;
        g_panel.push_back("text " + std::to_string(field) + " " + w->num);
    } else if (request == OLED_IOC_MATRIX) {
        g_panel.push_back(iconCall(reinterpret_cast<matrixParam*>(arg)));
    }
    return 0;
}

namespace {

// Seconds left on the process alarm, 0 when none is pending.
double alarmLeft() {
    itimerval t{};
    getitimer(ITIMER_REAL, &t);
    return static_cast<double>(t.it_value.tv_sec) + static_cast<double>(t.it_value.tv_usec) / 1e6;
}

bool drew(const std::string& call) {
    for (auto& c : g_panel)
        if (c == call) return true;
    return false;
}

size_t indexOf(const std::string& call) {
    for (size_t i = 0; i < g_panel.size(); ++i)
        if (g_panel[i] == call) return i;
    return g_panel.size();
}

const std::string kConfig =
    "{\"cameraNum\":2,\"orientation\":\"h\",\"language\":\"en_US\","
    "\"takePhoto\":{\"width\":1440,\"height\":1440,\"mode\":0},"
    "\"recordVideo\":{\"width\":1440,\"height\":1440,\"bitrate\":20000000,\"mode\":0},"
    "\"live\":{\"width\":960,\"height\":960,\"bitrate\":4000000,\"mode\":0,\"scale\":1},"
    "\"preview\":{\"width\":960,\"height\":960,\"bitrate\":2000000,\"mode\":0,\"scale\":2},"
    "\"recordPreview\":{\"width\":960,\"height\":960,\"bitrate\":2000000,\"mode\":0,\"scale\":2},"
    "\"setting\":[960,1440,1920]}";

class StateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        camtest::usePrivateBin();
        g_host_settle_seconds = 0;
        saved_config_ = readFile(camera_paths::kAppConfig);
        if (!camtest::exists("/dev/oled")) writeFile("/dev/oled", "");
        ASSERT_GE(oled_open("/lib/resource/EnglishVer.bin"), 0);
        ASSERT_GT(oled_iconCount(), 75);
        camtest::clearCalls();
        system("vcam-standin --clear mp4Spool; vcam-standin --clear realTimeStillGrab");
    }
    void TearDown() override {
        if (ctx_) finish();
        oled_close();
        writeFile(camera_paths::kAppConfig, saved_config_);
    }
    void finish() {
        ctl_->dropClients();
        pid_t child = ctx_->camera_.process_controller_.child_pid_;
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        ctl_.reset();
        ctx_ = nullptr;
    }
    void make() {
        ctl_ = std::make_unique<InProcessController>();
        ctx_ = &ctl_->ctx();
        ctx_->state_ = std::make_shared<RecordVideoState>(*ctx_);
        peer_ = ctl_->addClient(&client_);
        g_panel.clear();
    }
    // Lines the client got since the last call.
    std::vector<std::string> received() {
        std::string out = ctl_->received(peer_);
        std::vector<std::string> lines;
        size_t at = 0;
        for (size_t nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
            lines.push_back(out.substr(at, nl - at));
        return lines;
    }
    void command(const std::string& line) { ctx_->client_handler_.handle(line, client_); }
    int type() const { return ctx_->state_ ? ctx_->state_->type() : -1; }
    // Reaps the worker through the current state once it has ended.
    bool childExit() {
        return waitFor(
            [&] {
                auto s = ctx_->state_;
                s->handleSigChild();
                return ctx_->state_ != s;
            },
            std::chrono::seconds(10));
    }
    void feed(const std::string& line) {
        auto msg = CmdMessage::CreateWithCmdString(line);
        ASSERT_TRUE(msg) << line;
        auto s = ctx_->state_;
        s->handCmdInput(*msg);
    }

    std::unique_ptr<InProcessController> ctl_;
    Context* ctx_ = nullptr;
    bufferevent* client_ = nullptr;
    int peer_ = -1;
    std::string saved_config_;
};

TEST_F(StateTest, IdleScreensDrawTheCardState) {
    make();
    Sdcard& card = ctx_->sdcard_;
    TakePhotoState photo(*ctx_);
    EXPECT_TRUE(drew("logo 0") && drew("logo 8") && drew("logo 7") && drew("logo 58")) << g_panel.size();
    int left = card.estimatePhotoLeft();
    ASSERT_GT(left, 0);
    EXPECT_TRUE(drew("text 1 0"));
    EXPECT_TRUE(drew("text 2 " + std::to_string(left)));
    ASSERT_TRUE(card.listener_);

    g_panel.clear();
    writeFile("/sdcard/IMG_000001@3K.pnop", "x");
    writeFile("/sdcard/.IMG_000002@3K.pnop", "x");
    card.listener_(1);  // a card change redraws
    EXPECT_EQ(g_panel.front(), "clear 17");
    EXPECT_TRUE(drew("text 1 1"));
    unlink("/sdcard/IMG_000001@3K.pnop");
    unlink("/sdcard/.IMG_000002@3K.pnop");

    // a full card (no free blocks), a read-only one, none
    card.mount_path_ = "/proc";
    g_panel.clear();
    photo.show();
    EXPECT_TRUE(drew("logo 68"));
    EXPECT_FALSE(drew("logo 58"));
    RecordVideoState record(*ctx_);
    EXPECT_TRUE(drew("logo 10") && drew("logo 68"));
    card.mount_path_ = "/sdcard";
    g_panel.clear();
    record.show();
    EXPECT_TRUE(drew("logo 60"));
    writeFile("/tmp/mounts.ro", "/dev/mmcblk1p1 /sdcard vfat ro,relatime 0 0\n");
    card.mounts_file_ = "/tmp/mounts.ro";
    g_panel.clear();
    photo.show();
    EXPECT_LT(indexOf("clear 70"), indexOf("logo 69"));
    EXPECT_FALSE(card.supported_);
    g_panel.clear();
    record.show();
    EXPECT_LT(indexOf("clear 70"), indexOf("logo 69"));
    card.inserted_ = false;
    g_panel.clear();
    photo.show();
    EXPECT_TRUE(drew("logo 66"));
    g_panel.clear();
    record.show();
    EXPECT_TRUE(drew("logo 66"));

    // clear erases and gives the listener up
    g_panel.clear();
    record.clear();
    EXPECT_EQ(g_panel, (std::vector<std::string>{"clear 0", "clear 10", "clear 8", "clear 17"}));
    EXPECT_FALSE(card.listener_);
}

TEST_F(StateTest, ListenerOfAGoneScreenDoesNothing) {
    make();
    std::function<void(int)> kept;
    {
        auto photo = std::make_shared<TakePhotoState>(*ctx_);
        kept = ctx_->sdcard_.listener_;
    }
    g_panel.clear();
    kept(1);
    EXPECT_TRUE(g_panel.empty());
}

TEST_F(StateTest, ErrorScreens) {
    make();
    ctx_->ap_on_ = true;
    ctx_->changeState(std::make_shared<ErrorState<TakePhotoState>>(*ctx_, 3));
    EXPECT_EQ(type(), 10);
    EXPECT_TRUE(ctx_->state_->isBusy());
    EXPECT_LT(indexOf("clear 17"), indexOf("logo 61"));
    EXPECT_EQ(ctx_->led0_mode_, 2);
    EXPECT_EQ(ctx_->led0_color_, 1);
    g_panel.clear();
    ctx_->state_->clear();
    EXPECT_EQ(g_panel, (std::vector<std::string>{"clear 17", "clear 61"}));
    auto error = ctx_->state_;
    error->handleButton0();
    error->handleButton2();
    EXPECT_EQ(ctx_->state_, error);
    error->handleButton1();
    EXPECT_TRUE(dynamic_cast<TakePhotoState*>(ctx_->state_.get()));
    EXPECT_EQ(ctx_->led0_mode_, 0);
    EXPECT_EQ(ctx_->led0_color_, 4);
    EXPECT_EQ(received(), (std::vector<std::string>{stateChanged(10), stateChanged(0)}));

    g_panel.clear();
    ctx_->ap_on_ = false;
    ctx_->changeState(std::make_shared<ErrorState<RecordVideoState>>(*ctx_, 1));
    EXPECT_LT(indexOf("clear 70"), indexOf("logo 65"));
    EXPECT_FALSE(drew("logo 61"));
    ctx_->state_->handleButton1();
    EXPECT_TRUE(dynamic_cast<RecordVideoState*>(ctx_->state_.get()));
    EXPECT_EQ(ctx_->led0_color_, 0);
}

TEST_F(StateTest, ClockAndSizeTexts) {
    EXPECT_EQ(OnRecordingState::durationText(125), "02:05");
    EXPECT_EQ(OnRecordingState::durationText(600), "10:00");
    EXPECT_EQ(OnRecordingState::durationText(6000 * 60 + 7), "6000:07");
    const uint64_t GiB = 1ULL << 30;
    EXPECT_EQ(OnRecordingState::fileSizeText(524288000ULL, 14 * GiB), "500M/14G");
    EXPECT_EQ(OnRecordingState::fileSizeText(GiB + GiB / 2, 14 * GiB + (GiB * 6) / 10), "1.5G/14.6G");
    EXPECT_EQ(OnRecordingState::fileSizeText(GiB - 1, GiB), "1023M/1G");
    EXPECT_EQ(OnLiveState::durationText(3725), "01:02:05");
    EXPECT_EQ(OnLiveState::durationText(36000), "10:00:00");
    EXPECT_EQ(OnLiveState::durationText(360000), "100:00:00");
}

TEST_F(StateTest, BusyAnimationCycles) {
    ASSERT_GE(oled_fd(), 0);
    g_panel.clear();
    BusyAnimation dots;
    for (int i = 0; i < 4; i++) dots();
    EXPECT_EQ(g_panel, (std::vector<std::string>{"text 1        ", "text 1 .", "text 1        ", "text 1 ..",
                                                 "text 1        ", "text 1 ...", "text 1        ", "text 1 ."}));
}

TEST_F(StateTest, NoRoomAndReadOnlyCardRefusals) {
    make();
    ctx_->sdcard_.mount_path_ = "/proc";  // no free block at all
    command("{\"cmd\":\"takePhoto\"}");
    EXPECT_EQ(received(), (std::vector<std::string>{stateChanged(0), refusal("takePhotoResult", "sdcard not enough")}));
    EXPECT_EQ(type(), 0);
    EXPECT_EQ(ctx_->camera_.process_controller_.child_pid_, -1);
    EXPECT_TRUE(drew("logo 68"));
    EXPECT_TRUE(ctx_->sdcard_.listener_) << "the photo screen still hears the card";
    command("{\"cmd\":\"startRecord\"}");
    EXPECT_EQ(received(), (std::vector<std::string>{refusal("startRecordResult", "sdcard not enough")}));
    auto idle = ctx_->state_;
    idle->clear();
    idle->handleButton1();  // select on a full card only redraws
    EXPECT_EQ(ctx_->state_, idle);

    ctx_->sdcard_.mount_path_ = "/sdcard";
    writeFile("/tmp/mounts.ro", "/dev/mmcblk1p1 /sdcard vfat ro,relatime 0 0\n");
    ctx_->sdcard_.mounts_file_ = "/tmp/mounts.ro";
    command("{\"cmd\":\"takePhoto\"}");
    command("{\"cmd\":\"startRecord\"}");
    command("{\"cmd\":\"realtimeSnapshot\"}");
    EXPECT_EQ(received(), (std::vector<std::string>{refusal("takePhotoResult", "sdcard not supported"),
                                                    refusal("startRecordResult", "sdcard not supported"),
                                                    refusal("realtimeSnapshotResult", "sdcard not supported")}));
    EXPECT_TRUE(camtest::calls().empty());

    // the card checks come before the in-use check
    ctx_->sdcard_.mounts_file_ = "/proc/mounts";
    ctx_->sdcard_.mount_path_ = "/proc";
    ctx_->state_ = std::make_shared<ErrorState<TakePhotoState>>(*ctx_, 1);
    command("{\"cmd\":\"startRecord\"}");
    command("{\"cmd\":\"takePhoto\"}");
    ctx_->sdcard_.inserted_ = false;
    command("{\"cmd\":\"takePhoto\"}");
    command("{\"cmd\":\"startLive\"}");
    EXPECT_EQ(received(),
              (std::vector<std::string>{
                  refusal("startRecordResult", "sdcard not enough"), refusal("takePhotoResult", "camera in use"),
                  refusal("takePhotoResult", "sdcard not insert"), refusal("startLiveResult", "camera in use")}));
}

TEST_F(StateTest, CrashedPhotoWorkerIsAFailure) {
    camtest::writeScript("stillGrab", "kill -SEGV $$");
    make();
    command("{\"cmd\":\"takePhoto\"}");
    EXPECT_EQ(received(),
              (std::vector<std::string>{stateChanged(0), stateChanged(1), camtest::reply("takePhotoResult", true)}));
    ASSERT_TRUE(childExit());
    auto* error = dynamic_cast<ErrorState<TakePhotoState>*>(ctx_->state_.get());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 128 + SIGSEGV);
    EXPECT_TRUE(drew("logo 65"));
    EXPECT_EQ(camtest::calls().back(), "gpioPoke 8");
    unlink("/tmp/bin/stillGrab");
}

// A job whose worker cannot start leaves nothing busy behind: pins, governor,
// fan, task and listener are given back and the error screen follows.
TEST_F(StateTest, JobsThatCannotStart) {
    std::string bad = kConfig;
    auto sub = [&](const std::string& from, const std::string& to) {
        size_t at = bad.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        bad.replace(at, from.size(), to);
    };
    sub("\"width\":1440", "\"width\":1000");  // photo size without a label
    sub("\"width\":1440", "\"width\":1000");  // record size too
    sub("\"live\":", "\"xlive\":");
    sub("\"preview\":", "\"xpreview\":");
    writeFile(camera_paths::kAppConfig, bad);
    make();

    command("{\"cmd\":\"takePhoto\"}");
    EXPECT_EQ(received(), (std::vector<std::string>{stateChanged(0), stateChanged(1), stateChanged(10),
                                                    refusal("takePhotoResult", "start failed")}));
    auto* photoError = dynamic_cast<ErrorState<TakePhotoState>*>(ctx_->state_.get());
    ASSERT_TRUE(photoError);
    EXPECT_EQ(photoError->code(), 9);
    EXPECT_EQ(camtest::calls(), (std::vector<std::string>{"gpioPoke 7", "gpioPoke 8"}));
    ctx_->state_->handleButton1();
    received();

    camtest::clearCalls();
    writeFile("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor", "powersave\n");
    command("{\"cmd\":\"startRecord\"}");
    EXPECT_EQ(received(), (std::vector<std::string>{stateChanged(2), stateChanged(10),
                                                    refusal("startRecordResult", "start failed")}));
    EXPECT_TRUE(dynamic_cast<ErrorState<RecordVideoState>*>(ctx_->state_.get()));
    EXPECT_FALSE(ctx_->sdcard_.listener_);
    EXPECT_TRUE(ctx_->second_task_cancel_);
    // refused before the worker's start: governor and fan were not raised
    EXPECT_EQ(readFile("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"), "powersave\n");
    EXPECT_EQ(camtest::calls(), (std::vector<std::string>{"gpioPoke 7", "gpioPoke 8"}));
    ctx_->state_->handleButton1();
    received();

    camtest::clearCalls();
    command("{\"cmd\":\"startLive\"}");
    EXPECT_EQ(received(),
              (std::vector<std::string>{stateChanged(3), stateChanged(0), refusal("startLiveResult", "start failed")}));
    EXPECT_TRUE(dynamic_cast<RecordVideoState*>(ctx_->state_.get()));
    EXPECT_EQ(ctx_->led0_mode_, 0);
    command("{\"cmd\":\"startPreview\"}");
    EXPECT_EQ(received(), (std::vector<std::string>{stateChanged(9), stateChanged(10),
                                                    refusal("startPreviewResult", "start failed")}));
    EXPECT_TRUE(dynamic_cast<ErrorState<TakePhotoState>*>(ctx_->state_.get()));
    EXPECT_EQ(ctx_->camera_.process_controller_.child_pid_, -1);
}

TEST_F(StateTest, RecorderThatCannotBeExecuted) {
    make();
    std::string path = getenv("PATH");
    setenv("PATH", "/tmp/bin:/usr/bin:/bin", 1);  // no recorder anywhere
    camtest::clearCalls();
    command("{\"cmd\":\"startRecord\"}");
    EXPECT_EQ(received(), (std::vector<std::string>{stateChanged(2), stateChanged(10),
                                                    refusal("startRecordResult", "start failed")}));
    // the model lowers what it raised for the worker that never ran
    EXPECT_EQ(readFile("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"), "ondemand\n");
    auto* error = dynamic_cast<ErrorState<RecordVideoState>*>(ctx_->state_.get());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kStartFailed);
    // "camera in use" no longer: select on the error screen leads back
    ctx_->state_->handleButton1();
    EXPECT_EQ(type(), 0);
    setenv("PATH", path.c_str(), 1);
}

TEST_F(StateTest, PhotoWorkerMessages) {
    make();
    auto busy = std::make_shared<OnTakingPhotoState>(*ctx_);
    ctx_->changeState(busy);
    EXPECT_EQ(ctx_->led0_mode_, 0);
    EXPECT_EQ(ctx_->led0_color_, 4);
    feed("{\"cmd\":\"prepare\",\"data\":{\"process\":\"mp4Spool\"}}");
    feed("{\"cmd\":\"prepare\",\"data\":{}}");
    feed("{\"cmd\":\"prepare\",\"data\":5}");
    EXPECT_EQ(ctx_->led0_mode_, 0);
    feed("{\"cmd\":\"prepare\",\"data\":{\"process\":\"stillGrab\"}}");
    EXPECT_EQ(ctx_->led0_mode_, 2);
    EXPECT_EQ(ctx_->led0_color_, 4);
    for (auto& l : received()) EXPECT_EQ(l.find("prepareOK"), std::string::npos) << l;
    busy->handleButton1();  // a photo cannot be stopped
    EXPECT_EQ(ctx_->state_, busy);
    ASSERT_TRUE(childExit());
    EXPECT_EQ(type(), 0);
}

TEST_F(StateTest, RecordingWithoutRoomStopsAtTheFirstTick) {
    make();
    ASSERT_EQ(system("vcam-standin mp4Spool prepare=0"), 0);
    ctx_->sdcard_.mount_path_ = "/proc";  // no free space when the recording starts
    ctx_->changeState(std::make_shared<OnRecordingState>(*ctx_, 0, 0, 0));
    auto rec = std::static_pointer_cast<OnRecordingState>(ctx_->state_);
    EXPECT_EQ(rec->spaceBudget(), 0u);
    EXPECT_EQ(rec->warnLimit(), 0u);
    ctx_->sdcard_.mount_path_ = "/sdcard";
    received();
    // messages of other programs, or without a file name, change nothing
    feed("{\"cmd\":\"prepare\",\"data\":{\"process\":\"realTimeStillGrab\",\"filename\":\"/x\"}}");
    feed("{\"cmd\":\"prepare\",\"data\":{\"process\":\"mp4Spool\"}}");
    EXPECT_TRUE(received().empty());
    EXPECT_TRUE(rec->currentFile().empty());
    writeFile("/sdcard/seg1", std::string(1000, 'a'));
    writeFile("/sdcard/seg2", std::string(24, 'b'));
    feed("{\"cmd\":\"segmentFinish\",\"data\":{\"process\":\"mp4Spool\",\"filename\":\"/sdcard/seg1\"}}");
    feed("{\"cmd\":\"segmentFinish\",\"data\":{\"process\":\"mp4Spool\",\"filename\":\"/sdcard/none\"}}");
    EXPECT_EQ(rec->finishedBytes(), 1000u);
    feed("{\"cmd\":\"prepare\",\"data\":{\"process\":\"mp4Spool\",\"filename\":\"/sdcard/seg2\"}}");
    feed("{\"cmd\":\"snapshot\",\"data\":{\"process\":\"mp4Spool\",\"filename\":\"/sdcard/s.jpg\"}}");
    EXPECT_EQ(received(), (std::vector<std::string>{
                              camtest::prepareOK(2),
                              "{\"type\":\"snapshot\",\"code\":true,\"data\":{\"path\":\"/sdcard/s.jpg\"}}"}));
    ASSERT_TRUE(ctx_->second_task_);
    EXPECT_FALSE(ctx_->second_task_cancel_);
    g_panel.clear();
    ctx_->second_task_();
    EXPECT_EQ(
        received(),
        (std::vector<std::string>{"{\"type\":\"recordState\",\"code\":true,\"data\":{\"size\":1024,\"duration\":1}}"}));
    EXPECT_TRUE(drew("logo 58") && drew("logo 75") && drew("text 1 00:01") && drew("text 2 0M/0M"));
    // the warning and the auto return: the task stops and the recorder too
    EXPECT_EQ(ctx_->led0_mode_, 1);
    EXPECT_EQ(ctx_->led0_color_, 1);
    EXPECT_TRUE(ctx_->second_task_cancel_);
    EXPECT_TRUE(rec->stopping());
    EXPECT_TRUE(drew("logo 63"));
    ASSERT_TRUE(childExit());
    EXPECT_EQ(type(), 0);
    unlink("/sdcard/seg1");
    unlink("/sdcard/seg2");
}

// A segment of 2 GiB and more is sized like any other (64-bit file offsets
// on the 32-bit board, where a plain stat of it fails).
TEST_F(StateTest, SegmentOver2GiBIsSized) {
    make();
    ASSERT_EQ(system("vcam-standin mp4Spool prepare=0"), 0);
    ctx_->changeState(std::make_shared<OnRecordingState>(*ctx_, 0, 0, 0));
    auto rec = std::static_pointer_cast<OnRecordingState>(ctx_->state_);
    {
        int fd = open("/sdcard/big", O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 3LL << 30), 0);  // sparse: takes no room
        close(fd);
    }
    feed("{\"cmd\":\"prepare\",\"data\":{\"process\":\"mp4Spool\",\"filename\":\"/sdcard/big\"}}");
    received();
    ASSERT_TRUE(ctx_->second_task_);
    ctx_->second_task_();
    EXPECT_EQ(received(),
              (std::vector<std::string>{
                  "{\"type\":\"recordState\",\"code\":true,\"data\":{\"size\":3221225472,\"duration\":1}}"}));
    rec->clear();
    rec->handleButton1();
    ASSERT_TRUE(childExit());
    unlink("/sdcard/big");
}

// The per-second task of a state never reaches it once it is gone or no
// longer current, even when nobody stopped the task.
TEST_F(StateTest, TaskNeverOutlivesItsState) {
    make();
    ctx_->changeState(std::make_shared<OnLiveState>(*ctx_, 0, 0, 0));
    feed("{\"cmd\":\"prepare\",\"data\":{\"process\":\"previewCast\"}}");
    EXPECT_EQ(received(), (std::vector<std::string>{stateChanged(3)}));
    feed("{\"cmd\":\"prepare\",\"data\":{\"process\":\"realTimeStillGrab\"}}");
    ctx_->second_task_();
    EXPECT_EQ(received(), (std::vector<std::string>{camtest::prepareOK(3),
                                                    "{\"type\":\"VRState\",\"code\":true,\"data\":{\"duration\":1}}"}));
    auto task = ctx_->second_task_;
    std::weak_ptr<CameraState> live = ctx_->state_;
    ctx_->state_ = std::make_shared<RecordVideoState>(*ctx_);  // replaced without a stop
    EXPECT_TRUE(live.expired());
    task();
    EXPECT_TRUE(received().empty());
}

TEST_F(StateTest, PreviewScreenStartsWhenShown) {
    make();
    auto preview = std::make_shared<PreviewState>(*ctx_);
    ctx_->changeState(preview);
    EXPECT_EQ(type(), 8);
    EXPECT_EQ(ctx_->camera_.process_controller_.child_pid_, -1);
    preview->show();
    pid_t worker = ctx_->camera_.process_controller_.child_pid_;
    EXPECT_GT(worker, 0);
    preview->show();
    EXPECT_EQ(ctx_->camera_.process_controller_.child_pid_, worker) << "one worker per screen";
    EXPECT_EQ(ctx_->led0_mode_, 1);
    received();
    feed("{\"cmd\":\"prepare\",\"data\":{\"process\":\"realTimeStillGrab\"}}");
    EXPECT_TRUE(received().empty());
    g_panel.clear();
    feed("{\"cmd\":\"prepare\",\"data\":{\"process\":\"previewCast\"}}");
    EXPECT_EQ(received(), (std::vector<std::string>{camtest::prepareOK(8)}));
    EXPECT_TRUE(drew("logo 59"));
    EXPECT_TRUE(ctx_->second_task_cancel_);
    ASSERT_TRUE(waitFor([] {
        return camtest::called(
            "realTimeStillGrab 2 false 960 960 rtmp://127.0.0.1/live/preview "
            "2000000 0 h 2 100 100 100");
    }));
    preview->clear();
    preview->handleButton1();
    ASSERT_TRUE(childExit());
    EXPECT_TRUE(dynamic_cast<TakePhotoState*>(ctx_->state_.get()));
}

// A stop arms the 15-second alarm once; when it fires the worker that ignored
// the stop is killed, which still counts as a stopped job; the next screen
// has no alarm left.
TEST_F(StateTest, StopAlarmKillsAWorkerThatIgnoresTheStop) {
    ASSERT_EQ(system("vcam-standin mp4Spool ignore_sigint=1; vcam-standin realTimeStillGrab ignore_sigint=1"), 0);
    make();
    const std::vector<std::function<void()>> starts = {
        [&] { ctx_->changeState(std::make_shared<OnRecordingState>(*ctx_, 0, 0, 0)); },
        [&] { ctx_->changeState(std::make_shared<OnLiveState>(*ctx_, 0, 0, 0)); },
        [&] { ctx_->changeState(std::make_shared<RealTimeTakePhotoState>(*ctx_, kPreview)); },
        [&] { ctx_->changeState(std::make_shared<RealTimeTakePhotoState>(*ctx_, kRecordPreview)); },
        [&] {
            ctx_->changeState(std::make_shared<PreviewState>(*ctx_));
            ctx_->state_->show();
        },
    };
    for (auto& start : starts) {
        alarm(0);
        start();
        std::shared_ptr<CameraState> busy = ctx_->state_;
        const int t = busy->type();
        ASSERT_TRUE(busy->isBusy()) << t;
        ASSERT_GT(ctx_->camera_.process_controller_.child_pid_, 0) << t;
        EXPECT_EQ(alarmLeft(), 0.0) << t;
        busy->clear();
        busy->handleButton1();
        double left = alarmLeft();
        EXPECT_GT(left, 10.0) << t;
        EXPECT_LE(left, 15.0) << t;
        alarm(100);
        busy->clear();
        busy->handleButton1();  // a second stop leaves the alarm alone
        EXPECT_GT(alarmLeft(), 15.0) << t;
        // the worker is still there; the alarm's handler ends it
        EXPECT_FALSE(waitFor([&] { return kill(ctx_->camera_.process_controller_.child_pid_, 0) != 0; },
                             std::chrono::milliseconds(300)))
            << t;
        busy->onAlrm();
        ASSERT_TRUE(childExit()) << t;
        EXPECT_EQ(type(), 0) << t;
        busy.reset();
        EXPECT_EQ(alarmLeft(), 0.0) << "the old screen took its alarm along, type " << t;
        EXPECT_EQ(ctx_->led0_mode_, 0) << t;
    }
    alarm(0);
}

// Worker messages without "data", or without a string "process" in it, are
// logged by name and dropped.
TEST_F(StateTest, MalformedWorkerMessagesAreLoggedAndDropped) {
    make();
    ctx_->changeState(std::make_shared<OnRecordingState>(*ctx_, 0, 0, 0));
    received();
    camtest::LogCapture log;
    const std::string noData = "{\"cmd\":\"prepare\"}";
    const std::string notObject = "{\"cmd\":\"prepare\",\"data\":5}";
    const std::string noProcess = "{\"cmd\":\"prepare\",\"data\":{\"filename\":\"/sdcard/x\"}}";
    feed(noData);
    feed(notObject);
    feed(noProcess);
    EXPECT_EQ(log.count(google::GLOG_ERROR, "cmd has no member:data " + noData), 1);
    EXPECT_EQ(log.count(google::GLOG_ERROR, "cmd data has no process " + notObject), 1);
    EXPECT_EQ(log.count(google::GLOG_ERROR, "cmd data has no process " + noProcess), 1);
    EXPECT_TRUE(received().empty());
    auto rec = std::static_pointer_cast<OnRecordingState>(ctx_->state_);
    EXPECT_TRUE(rec->currentFile().empty());
}

// A preview screen whose worker cannot start leads to the photo error
// screen, also when it was drawn before it was put in place.
TEST_F(StateTest, PreviewThatCannotStart) {
    std::string bad = kConfig;
    bad.replace(bad.find("\"preview\":"), 10, "\"xpreview\":");
    writeFile(camera_paths::kAppConfig, bad);
    make();
    auto preview = std::make_shared<PreviewState>(*ctx_);
    preview->show();
    EXPECT_EQ(preview->startFailure(), 9);
    EXPECT_EQ(type(), 0);
    ctx_->changeState(preview);
    preview.reset();
    auto* error = dynamic_cast<ErrorState<TakePhotoState>*>(ctx_->state_.get());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 9);
    EXPECT_EQ(received(), (std::vector<std::string>{stateChanged(8), stateChanged(10)}));
    EXPECT_TRUE(ctx_->second_task_cancel_);
    EXPECT_EQ(ctx_->camera_.process_controller_.child_pid_, -1);
}

}  // namespace

TEST_F(StateTest, MotionSensorCalibration) {
    make();
    const std::string others = "{\"language\": \"en_US\", \"defaultOffset\": \"YWJj\"}";
    writeFile(camera_paths::kOffsetConf, others);
    auto stored = [] {
        PropertyConfig conf(camera_paths::kOffsetConf);
        return conf.queryProperty("gyroOffset") + " " + conf.queryProperty("defaultOffset");
    };
    auto measure = [&] {
        auto gyro = std::make_shared<GyroCorrectState>(*ctx_);
        ctx_->changeState(gyro);
        EXPECT_EQ(type(), 6);
        EXPECT_TRUE(drew("logo 29"));
        g_panel.clear();
        gyro->handleButton1();
        gyro->handleButton1();  // a second press starts nothing more
        EXPECT_GT(alarmLeft(), 2.0);
        EXPECT_LE(alarmLeft(), 3.0);
        EXPECT_EQ(g_panel, (std::vector<std::string>{"clear 29", "logo 26"}));
        gyro->handleButton0();
        gyro->handleButton2();
        EXPECT_EQ(type(), 6);
        auto held = ctx_->state_;
        held->onAlrm();  // as the loop's alarm event calls it
        EXPECT_EQ(type(), 0) << "back on the settings screen";
        EXPECT_TRUE(drew("clear 26"));
        EXPECT_TRUE(drew("logo 21"));
    };

    // 1 g down x, -0.5 g y; 10.009765625 and -0.9765625 degrees per second
    ASSERT_EQ(system("vcam-sensor 16384 -8192 0 164 -16 0"), 0);
    measure();
    EXPECT_EQ(stored(), "1_-0.5_0_10.0098_-0.976562_0 YWJj");
    ASSERT_EQ(system("vcam-sensor 0 0 16384 0 0 0"), 0);
    measure();
    EXPECT_EQ(stored(), "0_0_1_0_0_0 YWJj") << "a second calibration replaces the first";

    // no sensor: the sample stays zeros
    ASSERT_EQ(system("vcam-devctl unplug gyrotap"), 0);
    measure();
    ASSERT_EQ(system("vcam-devctl plug gyrotap"), 0);
    EXPECT_EQ(stored(), "0_0_0_0_0_0 YWJj");
    // a sensor that does not acknowledge is taken as a missing one, not as
    // -1 on every axis
    ASSERT_EQ(system("vcam-sensor 0 0 16384 0 0 0"), 0);
    measure();
    ASSERT_EQ(stored(), "0_0_1_0_0_0 YWJj");
    ASSERT_EQ(system("vcam-devctl ack sensor off"), 0);
    measure();
    ASSERT_EQ(system("vcam-devctl ack sensor on"), 0);
    EXPECT_EQ(stored(), "0_0_0_0_0_0 YWJj");

    gsensorData small{0.0000123, -1234567.0, 0.1, 1e-300, 100000, -0.0};
    EXPECT_EQ(GyroCorrectState::offsetText(small), "1.23e-05_-1.23457e+06_0.1_1e-300_100000_-0");
}

TEST_F(StateTest, CameraInformationTexts) {
    make();
    const std::string version = readFile(camera_paths::kVersionTxt);
    int kernel = ctx_->camera_.kernelVersion();
    ASSERT_GT(kernel, 0);
    for (const std::string& text : {std::string("V9.8.7 build 1"), std::string(40, 'x') + " long", std::string("")}) {
        writeFile(camera_paths::kVersionTxt, text);
        g_panel.clear();
        ctx_->changeState(std::make_shared<CameraInfoState>(*ctx_));
        EXPECT_EQ(type(), 6);
        std::string word = text.substr(0, text.find(' '));
        // a text the panel cannot hold is not drawn; the screen goes on
        EXPECT_EQ(drew("text 3 " + word), !word.empty() && word.size() <= 15) << text;
        EXPECT_TRUE(drew("text 4 " + std::to_string(kernel)));
        EXPECT_TRUE(drew("logo 3") && drew("logo 33") && drew("logo 34"));
        EXPECT_FALSE(drew("logo 39")) << "no cursor";
        g_panel.clear();
        auto held = ctx_->state_;
        held->clear();
        held->handleButton1();
        EXPECT_TRUE(drew("text 3 " + std::string(7, ' ')) && drew("text 4 " + std::string(7, ' ')));
        EXPECT_EQ(type(), 0);
    }
    writeFile(camera_paths::kVersionTxt, version);
}

namespace {

// The photo's time limit is the process alarm, armed by the busy photo
// screen; the photo screen it replaced is released later and must leave it
// alone. (The alarm's time left is seen only inside the process.)
TEST_F(StateTest, PhotoTimeLimitOutlivesTheScreenItReplaced) {
    make();
    alarm(0);
    system("vcam-devctl clock run 0.01");  // slow lenses: the photo is still at work
    command("{\"cmd\":\"takePhoto\"}");
    ASSERT_EQ(type(), 1);
    double left = alarmLeft();
    EXPECT_GT(left, 20.0);
    EXPECT_LE(left, 30.0);
    std::shared_ptr<CameraState> busy = ctx_->state_;
    busy->onAlrm();  // the limit is reached: the worker is killed
    ASSERT_TRUE(childExit());
    busy.reset();
    auto* error = dynamic_cast<ErrorState<TakePhotoState>*>(ctx_->state_.get());
    ASSERT_TRUE(error) << type();
    EXPECT_EQ(error->code(), 128 + SIGKILL);
    EXPECT_EQ(alarmLeft(), 0.0);
    system("vcam-devctl clock run 1");
}

}  // namespace
