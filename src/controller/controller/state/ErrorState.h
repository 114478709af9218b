// The error screen of a job family: shows the failure, select goes back to a
// new T (the idle screen of that family).
#pragma once

#include <memory>

#include "controller/controller_context.h"
#include "controller/state/CameraState.h"

// Drawing shared by every form.
void errorScreenShow(Context& ctx, int code);
void errorScreenClear(int code);
void errorScreenLog();

// Back to the idle screen T of a job family, with the job LED at rest.
template <typename T>
void backToIdle(Context& ctx) {
    restJobLed(ctx);
    ctx.changeState(std::make_shared<T>(ctx));
}

template <typename T>
class ErrorState : public CameraState {
public:
    ErrorState(Context& ctx, int code) : ctx_(ctx), code_(code) {
        errorScreenLog();
        show();
    }

    void show() override { errorScreenShow(ctx_, code_); }
    void clear() override { errorScreenClear(code_); }
    int type() const override { return state_type::kError; }
    void handleButton0() override {}
    void handleButton1() override { backToIdle<T>(ctx_); }
    void handleButton2() override {}

    int code() const { return code_; }

private:
    Context& ctx_;
    int code_;
};

// The end of a worker job of the family whose idle screen is T: back to T
// when it ended well, to T's error screen with the failure code otherwise.
// A job that did not start ends through JobScreen (CameraState.h).
template <typename T>
void endJob(Context& ctx, bool ok, int code) {
    if (ok)
        backToIdle<T>(ctx);
    else
        ctx.changeState(std::make_shared<ErrorState<T>>(ctx, code));
}
