// The controller's start-up and its single-threaded event loop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <glog/logging.h>

#include "common/dameon_util.h"
#include "common/log_text.h"
#include "common/process_util.h"
#include "controller/controller_context.h"
#include "controller/event_ptr.h"
#include "controller/loop_guard.h"
#include "controller/screen_codes.h"
#include "controller/state/CameraState.h"
#include "controller/state/RecordVideoState.h"
#include "controller/tick.h"
#include "device/led.h"
#include "device/oled.h"
#include "fifo_ipc/cmd_msg.h"

namespace {

constexpr const char* kPidFile = "/var/run/camera.pid";
constexpr const char* kMarker = "/sdcard/.panorbit";
constexpr int kPort = 8888;
// A worker line longer than this is dropped.
constexpr size_t kMaxFifoLine = 64 * 1024;
// The daemon's log file is cut back to its last part past this size (MB).
constexpr unsigned kMaxLogMegabytes = 4;

struct UniqueFd {
    int fd = -1;
    UniqueFd() = default;
    explicit UniqueFd(int f) : fd(f) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd >= 0) close(fd);
    }
};

// The workers' lines on the FIFO; after an over-long line is dropped, its
// rest up to the line end is dropped too.
struct FifoLines {
    Context* ctx = nullptr;
    bool dropping = false;
};

// What the loop runs on, freed in reverse order after it ends.
struct Loop {
    EventBasePtr base;
    UniqueFd button;
    std::vector<EventPtr> events;
    FifoLines fifo_lines;
    BufferEventPtr fifo;
    LedBlinker blink1{nullptr, nullptr};
    LedBlinker blink0{nullptr, nullptr};
};

std::shared_ptr<CameraState> current(Context& ctx) { return ctx.state_; }

void onAccept(evutil_socket_t fd, short, void* arg) {
    Context& ctx = *static_cast<Context*>(arg);
    int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) {
        perror("accept");
        return;
    }
    ctx.client_handler_.clients_.accept(client);
}

void onButton(evutil_socket_t fd, short, void* arg) {
    unsigned char byte = 0;
    ssize_t n = read(fd, &byte, 1);
    if (n != 1) return;
    guarded("button", [&] { dispatchButton(*static_cast<Context*>(arg), byte); });
}

void onSigAlarm(evutil_socket_t, short, void* arg) {
    Context& ctx = *static_cast<Context*>(arg);
    auto state = current(ctx);
    LOG(INFO) << "sig alarm!!!!!!!!!!!!!!!!!"
              << " state type " << ctx.currentType();
    if (state) guarded("alarm", [&] { state->onAlrm(); });
}

void onSigChild(evutil_socket_t, short, void* arg) {
    auto state = current(*static_cast<Context*>(arg));
    if (state) guarded("child exit", [&] { state->handleSigChild(); });
}

void onSigPipe(evutil_socket_t, short, void*) { LOG(ERROR) << "sig piepe!!!!!!!!!!!!!!!!!"; }

void callCardListener(Context& ctx, int inserted) {
    if (!ctx.sdcard_.listener_) return;
    auto listener = ctx.sdcard_.listener_;
    guarded("card listener", [&] { listener(inserted); });
}

void onSdcardInsert(evutil_socket_t, short, void* arg) {
    Context& ctx = *static_cast<Context*>(arg);
    LOG(INFO) << "sdcard insert";
    ctx.sdcard_.inserted_ = true;
    ctx.sdcard_.supported_ = ctx.sdcard_.checkIsVfat();
    callCardListener(ctx, 1);
    ctx.client_handler_.broadSDCardIsInsert(true);
    createMarker();
}

void onSdcardReject(evutil_socket_t, short, void* arg) {
    Context& ctx = *static_cast<Context*>(arg);
    LOG(INFO) << "sdcard reject";
    ctx.sdcard_.inserted_ = false;
    callCardListener(ctx, 0);
    ctx.client_handler_.broadSDCardIsInsert(false);
}

// SIGINT, and SIGTERM (an init system at power-off): stop the job, end the
// loop, close the screen and the LEDs.
void onSigInt(evutil_socket_t, short, void* arg) {
    Context& ctx = *static_cast<Context*>(arg);
    guarded("stop", [&] { stopCurrentWork(ctx); });
    if (ctx.base_) event_base_loopbreak(ctx.base_);
    oled_close();
    led_close();
}

void onFifoRead(bufferevent* bev, void* arg) {
    FifoLines& lines = *static_cast<FifoLines*>(arg);
    Context& ctx = *lines.ctx;
    evbuffer* input = bufferevent_get_input(bev);
    for (;;) {
        if (lines.dropping) {
            evbuffer_ptr eol = evbuffer_search(input, "\n", 1, nullptr);
            if (eol.pos < 0) {
                evbuffer_drain(input, evbuffer_get_length(input));
                return;
            }
            evbuffer_drain(input, static_cast<size_t>(eol.pos) + 1);
            lines.dropping = false;
        }
        size_t len = 0;
        char* raw = evbuffer_readln(input, &len, EVBUFFER_EOL_LF);
        if (!raw) break;
        std::unique_ptr<char, decltype(&free)> hold(raw, &free);
        if (len == 0) continue;
        if (len > kMaxFifoLine) {
            LOG(ERROR) << "fifo line too long, dropped";
            continue;
        }
        std::string line(raw, len);
        LOG(INFO) << "fifo msg " << pnocamera::loggedText(line);
        std::shared_ptr<CmdMessage> msg = CmdMessage::CreateWithCmdString(line);
        if (!msg) continue;
        auto state = current(ctx);
        if (state) guarded("worker message", [&] { state->handCmdInput(*msg); });
    }
    if (evbuffer_get_length(input) > kMaxFifoLine) {
        LOG(ERROR) << "fifo line too long, dropped";
        evbuffer_drain(input, evbuffer_get_length(input));
        lines.dropping = true;
    }
}

int openListener() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(kPort);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        perror("bind");
        close(fd);
        return -1;
    }
    if (listen(fd, 10) != 0) {
        perror("listen");
        close(fd);
        return -1;
    }
    return fd;
}

// Logging, options, and in daemon mode the daemon itself with its log file
// and the single-copy check. False when another copy runs.
bool startUp(int argc, char** argv) {
    // Without a zone file the C library would look for it again for every
    // log record; UTC is what it falls back to anyway.
    if (!getenv("TZ") && access("/etc/localtime", R_OK) != 0) setenv("TZ", "UTC0", 0);
    google::InitGoogleLogging(argv[0]);
    google::InstallFailureSignalHandler();
    // SIGTERM is an orderly end (the loop takes it as SIGINT), not a crash;
    // before the loop it ends the process quietly
    signal(SIGTERM, SIG_DFL);
    FLAGS_logtostderr = true;

    bool foreground = false;
    int opt;
    while ((opt = getopt(argc, argv, "d")) != -1) {
        if (opt == 'd') foreground = true;
    }
    if (foreground) return true;

    // Nothing a second copy could break runs before the single-copy check:
    // the pid lock in daemon mode, the port in both modes.
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    char log_path[64];
    std::snprintf(log_path, sizeof log_path, "/log/%d%02d%02d.log", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday);
    daemonize(argv[0], log_path);
    FLAGS_max_log_size = kMaxLogMegabytes;
    g_bound_log_file = true;
    if (already_running(kPidFile)) {
        LOG(ERROR) << "already running ....";
        return false;
    }
    return true;
}

// Versions, screen, LEDs, the card marker, USB device mode, the first
// screen and the fan. False when the LEDs cannot be opened (a screen that
// cannot be opened ends the process in initScreen).
bool openDevices(Context& ctx) {
    LOG(INFO) << "kernel version " << ctx.camera_.kernelVersion();
    LOG(INFO) << "module version " << pnocamera::loggedText(ctx.camera_.queryVersion());
    LOG(INFO) << "#######################Camera Startup######################";

    ctx.initScreen();

    if (led_open() < 0) {
        LOG(ERROR) << "open led err";
        return false;
    }
    fcntl(led_fd(), F_SETFD, FD_CLOEXEC);
    // LED 1 blinks until the first tick decides, LED 0 off
    ctx.led1_mode_ = led_mode::kSlowBlink;
    ctx.led0_mode_ = led_mode::kSteady;
    ctx.led1_color_ = led_color::kGood;
    ctx.led0_color_ = led_color::kDark;

    createMarker();
    toDevice();
    ctx.changeState(std::make_shared<RecordVideoState>(ctx));
    runPinTool(board_pin::kFanOff);
    return true;
}

// The event base, the button and every event of the loop. False when the
// button cannot be opened.
bool registerEvents(Context& ctx, int listener, Loop& loop) {
    loop.base.reset(event_base_new());
    CHECK(loop.base) << "no event base";
    ctx.base_ = loop.base.get();

    loop.button.fd = open(BUTTON_DEVICE, O_RDWR | O_CLOEXEC);
    if (loop.button.fd < 0) {
        LOG(ERROR) << "open button failed..check the driver";
        return false;
    }

    event_base* eb = loop.base.get();
    auto add = [&](event* e, const timeval* tv) {
        CHECK(e) << "event set-up failed";
        event_add(e, tv);
        loop.events.emplace_back(e);
    };
    timeval second = {1, 0};
    add(event_new(eb, listener, EV_READ | EV_PERSIST, onAccept, &ctx), nullptr);
    add(event_new(eb, loop.button.fd, EV_READ | EV_PERSIST, onButton, &ctx), nullptr);
    add(event_new(eb, -1, EV_PERSIST, onTick, &ctx), &second);
    add(evsignal_new(eb, SIGUSR1, onSdcardInsert, &ctx), nullptr);
    add(evsignal_new(eb, SIGUSR2, onSdcardReject, &ctx), nullptr);
    add(evsignal_new(eb, SIGINT, onSigInt, &ctx), nullptr);
    add(evsignal_new(eb, SIGTERM, onSigInt, &ctx), nullptr);
    add(evsignal_new(eb, SIGCHLD, onSigChild, &ctx), nullptr);
    add(evsignal_new(eb, SIGPIPE, onSigPipe, &ctx), nullptr);
    add(evsignal_new(eb, SIGALRM, onSigAlarm, &ctx), nullptr);

    int fifo_fd = ctx.camera_.process_controller_.read_fd_;
    evutil_make_socket_nonblocking(fifo_fd);
    loop.fifo.reset(bufferevent_socket_new(eb, fifo_fd, BEV_OPT_CLOSE_ON_FREE));
    CHECK(loop.fifo) << "no fifo event";
    ctx.camera_.process_controller_.read_fd_ = -1;  // owned by the buffered event now
    loop.fifo_lines.ctx = &ctx;
    bufferevent_setcb(loop.fifo.get(), onFifoRead, nullptr, nullptr, &loop.fifo_lines);
    bufferevent_enable(loop.fifo.get(), EV_READ);

    timeval zero = {0, 0};
    auto blink = [&](LedBlinker& b, event_callback_fn fn) {
        b.ctx = &ctx;
        b.timer = evtimer_new(eb, fn, &b);
        add(b.timer, &zero);
    };
    blink(loop.blink1, blinkLed1);
    blink(loop.blink0, blinkLed0);
    return true;
}

// After the loop: the events, the FIFO and the clients go before the base.
void teardown(Context& ctx, Loop& loop) {
    loop.events.clear();
    loop.fifo.reset();
    endClients(ctx);
    ctx.base_ = nullptr;
}

}  // namespace

void endClients(Context& ctx) {
    ctx.client_handler_.clients_.clear();
    // a buffered event freed while its input is at the watermark, with the
    // loop broken in its read, is finished only by the loop: one last pass
    // (the device's events are gone by now)
    if (ctx.base_) event_base_loop(ctx.base_, EVLOOP_NONBLOCK);
}

void createMarker() {
    int fd = open(kMarker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
}

void dispatchButton(Context& ctx, unsigned char byte) {
    if (byte & 1) return;
    LOG(INFO) << "button pressed ";
    int code = byte >> 4;
    if (code != key_code::kSelect && code != key_code::kNext && code != key_code::kPrev) return;
    auto state = current(ctx);
    if (!state) return;
    int t = state->type();
    if (t == state_type::kIdle || (code == key_code::kSelect && CameraState::isBusyType(t))) state->clear();
    if (code == key_code::kNext)
        state->handleButton0();
    else if (code == key_code::kSelect)
        state->handleButton1();
    else
        state->handleButton2();
}

void stopCurrentWork(Context& ctx) {
    auto state = current(ctx);
    if (!state || state->type() == state_type::kIdle) return;
    int t = state->type();
    // menus, the USB-storage and error screens run no job: their select
    // action would act on the highlighted row instead
    if (!CameraState::isJobType(t)) return;
    LOG(INFO) << "exit from child process ";
    state->clear();
    state->handleButton1();
}

int controllerMain(int argc, char** argv) {
    if (!startUp(argc, argv)) return 1;
    UniqueFd listener(openListener());
    if (listener.fd < 0) return 1;

    std::unique_ptr<Context> owner;
    try {
        owner = std::make_unique<Context>();
    } catch (const std::exception& e) {
        LOG(ERROR) << e.what();
        return 1;
    }
    Context& ctx = *owner;
    if (!openDevices(ctx)) return 1;

    Loop loop;
    if (!registerEvents(ctx, listener.fd, loop)) return 1;
    event_base_dispatch(loop.base.get());
    teardown(ctx, loop);
    return 0;
}
