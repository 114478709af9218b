// Screen-state interface: the event loop hands every user-interface event to
// the current state.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>

#include "controller/screen_codes.h"

class CmdMessage;
struct Context;

class CameraState : public std::enable_shared_from_this<CameraState> {
public:
    // Cancels any pending alarm, unless another state armed it.
    virtual ~CameraState();
    virtual void show() = 0;
    virtual void clear() = 0;
    virtual void handCmdInput(CmdMessage const& msg);
    virtual void handleSigChild();
    virtual void onAlrm();
    virtual int type() const = 0;
    virtual void handleButton0() = 0;
    virtual void handleButton1() = 0;
    virtual void handleButton2() = 0;
    // Runs once the state is current and announced; a busy state whose job
    // did not start moves on to its error screen here.
    virtual void entered();

    // Types 1, 2, 3, 6, 8, 9, 10 and 11.
    bool isBusy() const;

    static bool isBusyType(int type);
    // Types whose select action stops a running worker job.
    static bool isJobType(int type);

protected:
    // alarm(seconds) on behalf of this state: the alarm goes with this
    // state, not with the state it replaced.
    void armAlarm(unsigned seconds);
};

// Failure code of a worker that could not be started (as a shell reports a
// program it cannot run); a configuration error keeps the model's 9.
constexpr int kStartFailed = worker_status::kStartFailed;

// The waiting dots of a busy screen: ".", "..", "..." in text field 1, one
// step a second.
class BusyAnimation {
public:
    void operator()();

private:
    std::array<const char*, 3> texts_{{".", "..", "..."}};
    int index_ = 0;
};

// Puts a new per-second task in place of the old one and lets it run.
void setSecondTask(Context& ctx, std::function<void()> task);
// The next tick drops the task without running it.
void stopSecondTask(Context& ctx);
bool isCurrentState(Context& ctx, const CameraState* state);
// A per-second task that calls f on the state only while that state is alive
// and current; it never keeps the state alive itself.
template <typename State, typename F>
std::function<void()> stateTask(Context& ctx, State* state, F f) {
    std::weak_ptr<CameraState> weak = state->weak_from_this();
    return [&ctx, weak, f]() {
        std::shared_ptr<CameraState> s = weak.lock();
        if (!s || !isCurrentState(ctx, s.get())) return;
        f(static_cast<State&>(*s));
    };
}
// Held by a state whose card listener captures it: the listener does
// nothing once the state is gone, whoever still holds the listener.
class LifeToken {
public:
    template <typename F>
    std::function<void(int)> guard(F f) const {
        std::weak_ptr<const char> alive = token_;
        return [alive, f](int arg) {
            if (alive.lock()) f(arg);
        };
    }

private:
    std::shared_ptr<const char> token_ = std::make_shared<const char>('\0');
};

// LED 0 at rest: colour 4 while the access point is up, dark otherwise.
void restJobLed(Context& ctx);
// Sets LED 0.
void setJobLed(Context& ctx, int mode, int color);
// Worker messages: "data" must be an object with a string "process"; false
// (and a log line) otherwise. A missing "data" has a log line of its own
// unless name_missing_data is false (then it is logged as "no process").
bool workerProcess(CmdMessage const& msg, std::string& process, bool name_missing_data = true);

// "07" for 7: a clock part with a leading zero below 10.
std::string twoDigits(int v);

// Steps shared by the busy screens that run a worker job.

// Seconds the USB pins get to settle after the switch to the host side (2 on
// the camera; the in-process tests set 0).
extern unsigned g_host_settle_seconds;
// Switches the USB pins to the host side and waits for them to settle.
void usbToHostAndSettle();
// Reaps ended children; true when the job's worker was among them, with its
// exit code.
bool reapJob(Context& ctx, int& code);

// A busy screen that starts a worker job. A start that failed is undone at
// once; once the screen is current (entered()) it takes itself down and
// leads on, as endJob does for a job that ended.
class JobScreen : public CameraState {
public:
    void entered() final;

    // The failure code when the worker could not be started, else 0.
    int startFailure() const { return start_failure_; }

protected:
    explicit JobScreen(Context& ctx) : ctx_(ctx) {}

    // Takes the start call's result, ok being its value for a started worker;
    // false when the start failed: then "<job> not started <result>" is
    // logged, the USB pins go back to the device side when the screen had
    // switched them to the host, and the failure code is kept: the model's 9
    // for a configuration error, else kStartFailed.
    bool started(int result, int ok, const char* job, bool on_host);
    // After a failed start, once current: takes the screen down and moves on
    // to the family's error or idle screen.
    virtual void leaveFailedStart(int code) = 0;

    Context& ctx_;

private:
    int start_failure_ = 0;
};

// The skeleton of a busy screen whose worker runs until it is stopped
// (recording, live, preview): select is the stop, once only, followed by the
// 15-second alarm whose handler force-quits the worker; next and previous do
// nothing.
class JobState : public JobScreen {
public:
    static constexpr unsigned kStopTimeoutSeconds = 15;

    void handleButton0() override {}
    void handleButton1() final;
    void handleButton2() override {}
    void onAlrm() override;

    bool stopping() const { return stopping_; }

protected:
    explicit JobState(Context& ctx) : JobScreen(ctx) {}
    // Asks the worker to stop (the model's stop call).
    virtual void stopJob() = 0;
    // The worker ended with code: true, and well logged, for a stop that was
    // asked for and an exit code 0; otherwise the screen is cleared and badly
    // logged.
    bool endedWell(int code, const char* well, const char* badly);

    bool stopping_ = false;
};
