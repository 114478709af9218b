// A busy preview screen for a preview server that reports as previewCast;
// its job starts when the screen is first shown.
#pragma once

#include "controller/state/CameraState.h"

struct Context;

class PreviewState : public CameraState {
public:
    explicit PreviewState(Context& ctx);

    void show() override;
    void clear() override;
    int type() const override { return state_type::kPreview; }
    void handleButton0() override {}
    void handleButton1() override;
    void handleButton2() override {}
    void handCmdInput(CmdMessage const& msg) override;
    void handleSigChild() override;
    void onAlrm() override;
    void entered() override;

    bool stopping() const { return stopping_; }
    int startFailure() const { return start_failure_; }

private:
    Context& ctx_;
    bool stopping_ = false;
    bool started_ = false;
    int start_failure_ = 0;
};
