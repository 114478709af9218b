// A busy preview screen for a preview server that reports as previewCast;
// its job starts when the screen is first shown.
#pragma once

#include "controller/state/CameraState.h"

struct Context;

class PreviewState : public JobState {
public:
    explicit PreviewState(Context& ctx);

    void show() override;
    void clear() override;
    int type() const override { return state_type::kPreview; }
    void handCmdInput(CmdMessage const& msg) override;
    void handleSigChild() override;

private:
    void stopJob() override;
    void leaveFailedStart(int code) override;

    bool shown_ = false;
};
