// The busy photo screen: runs the still-photo worker until it ends.
#pragma once

#include "controller/state/CameraState.h"

struct Context;

class OnTakingPhotoState : public JobScreen {
public:
    // A photo takes 0.6-3 s; one still running after this is killed and
    // ends on the error screen.
    static constexpr unsigned kPhotoTimeoutSeconds = 30;

    explicit OnTakingPhotoState(Context& ctx);

    void show() override;
    void clear() override {}
    void selfClear();
    int type() const override { return state_type::kTakingPhoto; }
    void handleButton0() override {}
    void handleButton1() override {}
    void handleButton2() override {}
    void handCmdInput(CmdMessage const& msg) override;
    void handleSigChild() override;
    void onAlrm() override;

private:
    void leaveFailedStart(int code) override;
};
