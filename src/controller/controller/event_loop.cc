// The controller's start-up and its single-threaded event loop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <glog/logging.h>

#include "common/dameon_util.h"
#include "common/process_util.h"
#include "controller/controller_context.h"
#include "controller/state/CameraState.h"
#include "controller/state/RecordVideoState.h"
#include "device/led.h"
#include "device/oled.h"
#include "fifo_ipc/cmd_msg.h"

namespace {

constexpr const char* kPidFile = "/var/run/camera.pid";
constexpr const char* kMarker = "/sdcard/.panorbit";
constexpr int kPort = 8888;
// A peer whose input holds this much without a line end is dropped.
constexpr size_t kMaxLine = 64 * 1024;

struct EventFree {
    void operator()(event* e) const { event_free(e); }
};
using EventPtr = std::unique_ptr<event, EventFree>;

struct BaseFree {
    void operator()(event_base* b) const { event_base_free(b); }
};

struct BufferEventFree {
    void operator()(bufferevent* b) const { bufferevent_free(b); }
};

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

// Takes every complete line out of input and hands it on; false when the
// consumer asked to stop.
template <typename F>
void eachLine(evbuffer* input, F consume) {
    for (;;) {
        size_t len = 0;
        char* raw = evbuffer_readln(input, &len, EVBUFFER_EOL_LF);
        if (!raw) return;
        std::unique_ptr<char, decltype(&free)> line(raw, &free);
        if (len == 0) continue;
        if (!consume(std::string(raw, len))) return;
    }
}

std::shared_ptr<CameraState> current(Context& ctx) { return ctx.state_; }

// No error of a handler, a state or a model call may end the loop.
template <typename F>
void guarded(const char* where, F f) {
    try {
        f();
    } catch (const std::exception& e) {
        LOG(ERROR) << where << " failed: " << e.what();
    } catch (...) {
        LOG(ERROR) << where << " failed";
    }
}

void onClientRead(bufferevent* bev, void* arg) {
    Context& ctx = *static_cast<Context*>(arg);
    ClientHandler& handler = ctx.client_handler_;
    evbuffer* input = bufferevent_get_input(bev);
    eachLine(input, [&](const std::string& line) {
        if (handler.isDropping(bev)) return false;
        LOG(INFO) << "socket msg " << line;
        guarded("command", [&] { handler.handle(line, bev); });
        return true;
    });
    if (handler.isDropping(bev)) {
        evbuffer_drain(input, evbuffer_get_length(input));
        return;
    }
    if (evbuffer_get_length(input) > kMaxLine) {
        LOG(ERROR) << "client line too long, dropping client";
        handler.removeClient(bev);
        LOG(INFO) << "client disconnected ..";
    }
}

void onClientEvent(bufferevent* bev, short events, void* arg) {
    Context& ctx = *static_cast<Context*>(arg);
    if (!(events & (BEV_EVENT_EOF | BEV_EVENT_ERROR))) return;
    if (events & BEV_EVENT_ERROR) {
        LOG(ERROR) << "error on read event" << evutil_socket_error_to_string(EVUTIL_SOCKET_ERROR());
    }
    LOG(INFO) << "client disconnected ..";
    ctx.client_handler_.removeClient(bev);
}

void onAccept(evutil_socket_t fd, short, void* arg) {
    Context& ctx = *static_cast<Context*>(arg);
    int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) {
        perror("accept");
        return;
    }
    bufferevent* bev = bufferevent_socket_new(ctx.base_, client, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
        close(client);
        LOG(ERROR) << "no buffer event for client";
        return;
    }
    bufferevent_setcb(bev, onClientRead, nullptr, onClientEvent, &ctx);
    bufferevent_enable(bev, EV_READ | EV_WRITE);
    ctx.client_handler_.addClient(bev);
    LOG(INFO) << "new client connected" << ctx.client_handler_.clients_.size();
}

void onButton(evutil_socket_t fd, short, void* arg) {
    unsigned char byte = 0;
    ssize_t n = read(fd, &byte, 1);
    if (n != 1) return;
    guarded("button", [&] { dispatchButton(*static_cast<Context*>(arg), byte); });
}

void onSigAlarm(evutil_socket_t, short, void* arg) {
    auto state = current(*static_cast<Context*>(arg));
    LOG(INFO) << "sig alarm!!!!!!!!!!!!!!!!!" << " state type " << (state ? state->type() : 0);
    if (state) guarded("alarm", [&] { state->onAlrm(); });
}

void onSigChild(evutil_socket_t, short, void* arg) {
    auto state = current(*static_cast<Context*>(arg));
    if (state) guarded("child exit", [&] { state->handleSigChild(); });
}

void onSigPipe(evutil_socket_t, short, void*) { LOG(ERROR) << "sig piepe!!!!!!!!!!!!!!!!!"; }

void onSdcardInsert(evutil_socket_t, short, void* arg) {
    Context& ctx = *static_cast<Context*>(arg);
    LOG(INFO) << "sdcard insert";
    ctx.sdcard_.inserted_ = true;
    ctx.sdcard_.supported_ = ctx.sdcard_.checkIsVfat();
    if (ctx.sdcard_.listener_) {
        auto listener = ctx.sdcard_.listener_;
        guarded("card listener", [&] { listener(1); });
    }
    ctx.client_handler_.broadSDCardIsInsert(true);
    createMarker();
}

void onSdcardReject(evutil_socket_t, short, void* arg) {
    Context& ctx = *static_cast<Context*>(arg);
    LOG(INFO) << "sdcard reject";
    ctx.sdcard_.inserted_ = false;
    if (ctx.sdcard_.listener_) {
        auto listener = ctx.sdcard_.listener_;
        guarded("card listener", [&] { listener(0); });
    }
    ctx.client_handler_.broadSDCardIsInsert(false);
}

void onSigInt(evutil_socket_t, short, void* arg) {
    Context& ctx = *static_cast<Context*>(arg);
    guarded("stop", [&] { stopCurrentWork(ctx); });
    if (ctx.base_) event_base_loopbreak(ctx.base_);
    oled_close();
    led_close();
}

void onFifoRead(bufferevent* bev, void* arg) {
    Context& ctx = *static_cast<Context*>(arg);
    evbuffer* input = bufferevent_get_input(bev);
    eachLine(input, [&](const std::string& line) {
        LOG(INFO) << "fifo msg " << line;
        std::shared_ptr<CmdMessage> msg = CmdMessage::CreateWithCmdString(line);
        if (msg) {
            auto state = current(ctx);
            if (state) guarded("worker message", [&] { state->handCmdInput(*msg); });
        }
        return true;
    });
    if (evbuffer_get_length(input) > kMaxLine) {
        LOG(ERROR) << "fifo line too long, dropped";
        evbuffer_drain(input, evbuffer_get_length(input));
    }
}

void onTick(evutil_socket_t, short, void* arg) {
    guarded("tick", [&] { onTickWork(*static_cast<Context*>(arg)); });
}

struct BlinkArg {
    Context* ctx;
    int led;
    event* self;
};

void blinkLed(Context& ctx, int led, event* self) {
    int mode = led ? ctx.led1_mode_ : ctx.led0_mode_;
    int color = led ? ctx.led1_color_ : ctx.led0_color_;
    bool& phase = led ? ctx.led1_phase_ : ctx.led0_phase_;
    timeval delay = {1, 0};
    if (mode == 0) {
        led_set(led, color);
    } else {
        phase = !phase;
        led_set(led, phase ? 0 : color);
        if (mode == 2) delay = {0, 300000};
    }
    evtimer_add(self, &delay);
}

void blink(evutil_socket_t, short, void* arg) {
    auto* b = static_cast<BlinkArg*>(arg);
    blinkLed(*b->ctx, b->led, b->self);
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

void shutdownSequence(Context& ctx, int capacity, double voltage) {
    pid_t worker = ctx.camera_.process_controller_.child_pid_;
    guarded("stop", [&] { stopCurrentWork(ctx); });
    oled_fill(0);
    oled_logo(20);
    if (ctx.base_) event_base_loopbreak(ctx.base_);
    oled_close();
    led_close();
    LOG(INFO) << "auto shutdown due to low power " << capacity << " voltage" << voltage;
    // give the stopped worker up to 5 s to finish its file
    if (worker > 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            pid_t r = waitpid(worker, &status, WNOHANG);
            if (r == worker || (r < 0 && errno == ECHILD)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    pnocamera::runProcess({"shutdown"});
}

}  // namespace

void createMarker() {
    int fd = open(kMarker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
}

void dispatchButton(Context& ctx, unsigned char byte) {
    if (byte & 1) return;
    LOG(INFO) << "button pressed ";
    int code = byte >> 4;
    if (code != 1 && code != 2 && code != 4) return;
    auto state = current(ctx);
    if (!state) return;
    int t = state->type();
    if (t == 0 || (code == 1 && CameraState::isBusyType(t))) state->clear();
    if (code == 2) state->handleButton0();
    else if (code == 1) state->handleButton1();
    else state->handleButton2();
}

void stopCurrentWork(Context& ctx) {
    auto state = current(ctx);
    if (!state || state->type() == 0) return;
    int t = state->type();
    // menus, the USB-storage and error screens run no job: their select
    // action would act on the highlighted row instead
    if (!CameraState::isJobType(t)) return;
    LOG(INFO) << "exit from child process ";
    state->clear();
    state->handleButton1();
}

void checkUsbDevice(Context& ctx) {
    bool host = ctx.camera_.isDevice();
    auto state = current(ctx);
    if (!state) return;
    if (host) {
        if (state->type() != 0 || !ctx.make_device_state_) return;
        ctx.usb_device_mode_ = true;
        state->clear();
        LOG(INFO) << "device state";
        ctx.changeState(ctx.make_device_state_(ctx));
        return;
    }
    if (!ctx.usb_device_mode_) return;
    ctx.camera_.remountUSBDevice();
    state->clear();
    ctx.changeState(std::make_shared<RecordVideoState>(ctx));
    ctx.usb_device_mode_ = false;
    createMarker();
}

void onTickWork(Context& ctx) {
    BatteryReading b = readBattery();
    int P = b.capacity;
    double V = b.voltage;
    if (P >= 0 && P < 5) LOG(INFO) << "capacity " << P;
    if (V >= 0 && V < 3.5) LOG(INFO) << "voltage " << V;
    if (b.charging) {
        oled_logo(12);
        if (P >= 98) {
            ctx.led1_mode_ = 0;
            ctx.led1_color_ = 2;
        } else if (P >= 20) {
            ctx.led1_mode_ = 0;
            ctx.led1_color_ = 1;
        } else if (P >= 0) {
            ctx.led1_mode_ = 1;
            ctx.led1_color_ = 1;
        }
    } else {
        if (P >= 0) {
            oled_refreshBattery(P);
            if (P <= 20) {
                ctx.led1_mode_ = 1;
                ctx.led1_color_ = 1;
            } else {
                ctx.led1_mode_ = 0;
                ctx.led1_color_ = 2;
            }
        }
        bool shutdown = false;
        int K = ctx.camera_.kernelVersion();
        if (K <= 378) {
            auto state = current(ctx);
            int t = state ? state->type() : 0;
            // an unknown voltage is never low
            bool low = V >= 0 && ((t == 0 && V < 3.25) || (t != 0 && V < 3.1));
            if (low) {
                ctx.low_power_count_ += 2;
                shutdown = ctx.low_power_count_ >= 10;
            } else {
                ctx.low_power_count_ = 0;
            }
        } else {
            shutdown = P >= 0 && P <= 2;
        }
        if (shutdown) {
            shutdownSequence(ctx, P, V);
            return;
        }
    }
    ctx.refreshIp();
    checkUsbDevice(ctx);
    if (ctx.second_task_) {
        if (ctx.second_task_cancel_) {
            ctx.second_task_ = nullptr;
        } else {
            auto task = ctx.second_task_;
            task();
        }
    }
}

int controllerMain(int argc, char** argv) {
    // Without a zone file the C library would look for it again for every
    // log record; UTC is what it falls back to anyway.
    if (!getenv("TZ") && access("/etc/localtime", R_OK) != 0) setenv("TZ", "UTC0", 0);
    google::InitGoogleLogging(argv[0]);
    google::InstallFailureSignalHandler();
    FLAGS_logtostderr = true;

    bool foreground = false;
    int opt;
    while ((opt = getopt(argc, argv, "d")) != -1) {
        if (opt == 'd') foreground = true;
    }

    // Nothing a second copy could break runs before the single-copy check:
    // the pid lock in daemon mode, the port in both modes.
    if (!foreground) {
        time_t now = time(nullptr);
        struct tm tmv;
        localtime_r(&now, &tmv);
        char log_path[64];
        std::snprintf(log_path, sizeof log_path, "/log/%d%02d%02d.log", tmv.tm_year + 1900, tmv.tm_mon + 1,
                      tmv.tm_mday);
        daemonize(argv[0], log_path);
        if (already_running(kPidFile)) {
            LOG(ERROR) << "already running ....";
            return 1;
        }
    }
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

    LOG(INFO) << "kernel version " << ctx.camera_.kernelVersion();
    LOG(INFO) << "module version " << ctx.camera_.queryVersion();
    LOG(INFO) << "#######################Camera Startup######################";

    ctx.initScreen();

    if (led_open() < 0) {
        LOG(ERROR) << "open led err";
        return 1;
    }
    fcntl(led_fd(), F_SETFD, FD_CLOEXEC);
    ctx.led1_mode_ = 1;
    ctx.led0_mode_ = 0;
    ctx.led1_color_ = 2;
    ctx.led0_color_ = 0;

    createMarker();
    toDevice();
    ctx.changeState(std::make_shared<RecordVideoState>(ctx));
    runPinTool(6);

    std::unique_ptr<event_base, BaseFree> base(event_base_new());
    CHECK(base) << "no event base";
    ctx.base_ = base.get();

    UniqueFd button(open(BUTTON_DEVICE, O_RDWR | O_CLOEXEC));
    if (button.fd < 0) {
        LOG(ERROR) << "open button failed..check the driver";
        return 1;
    }

    event_base* eb = base.get();
    std::vector<EventPtr> events;
    auto add = [&](event* e, const timeval* tv) {
        CHECK(e) << "event set-up failed";
        event_add(e, tv);
        events.emplace_back(e);
    };
    timeval second = {1, 0};
    add(event_new(eb, listener.fd, EV_READ | EV_PERSIST, onAccept, &ctx), nullptr);
    add(event_new(eb, button.fd, EV_READ | EV_PERSIST, onButton, &ctx), nullptr);
    add(event_new(eb, -1, EV_PERSIST, onTick, &ctx), &second);
    add(evsignal_new(eb, SIGUSR1, onSdcardInsert, &ctx), nullptr);
    add(evsignal_new(eb, SIGUSR2, onSdcardReject, &ctx), nullptr);
    add(evsignal_new(eb, SIGINT, onSigInt, &ctx), nullptr);
    add(evsignal_new(eb, SIGCHLD, onSigChild, &ctx), nullptr);
    add(evsignal_new(eb, SIGPIPE, onSigPipe, &ctx), nullptr);
    add(evsignal_new(eb, SIGALRM, onSigAlarm, &ctx), nullptr);

    int fifo_fd = ctx.camera_.process_controller_.read_fd_;
    evutil_make_socket_nonblocking(fifo_fd);
    std::unique_ptr<bufferevent, BufferEventFree> fifo(bufferevent_socket_new(eb, fifo_fd, BEV_OPT_CLOSE_ON_FREE));
    CHECK(fifo) << "no fifo event";
    ctx.camera_.process_controller_.read_fd_ = -1;  // owned by the buffered event now
    bufferevent_setcb(fifo.get(), onFifoRead, nullptr, nullptr, &ctx);
    bufferevent_enable(fifo.get(), EV_READ);

    BlinkArg blink1{&ctx, 1, nullptr};
    BlinkArg blink0{&ctx, 0, nullptr};
    timeval zero = {0, 0};
    blink1.self = evtimer_new(eb, blink, &blink1);
    add(blink1.self, &zero);
    blink0.self = evtimer_new(eb, blink, &blink0);
    add(blink0.self, &zero);

    event_base_dispatch(eb);

    for (bufferevent* client : std::vector<bufferevent*>(ctx.client_handler_.clients_.begin(),
                                                         ctx.client_handler_.clients_.end()))
        ctx.client_handler_.removeClient(client);
    fifo.reset();
    events.clear();
    ctx.base_ = nullptr;
    return 0;
}
