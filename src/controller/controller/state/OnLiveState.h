// The busy live-streaming screen: runs the streaming worker, shows the
// elapsed time and pushes "VRState" once a second.
#pragma once

#include <string>

#include "controller/state/CameraState.h"

struct Context;

class OnLiveState : public JobState {
public:
    OnLiveState(Context& ctx, int width, int height, int bitrate);

    void show() override;
    void clear() override;
    int type() const override { return state_type::kLive; }
    void handCmdInput(CmdMessage const& msg) override;
    void handleSigChild() override;

    void displayDuration(int seconds);
    // "HH:MM:SS" as the screen shows it.
    static std::string durationText(int seconds);

    int seconds() const { return seconds_; }

private:
    void stopJob() override;
    void leaveFailedStart(int code) override;
    void liveTick();

    int seconds_ = 0;
    int width_;
    int height_;
    int bitrate_;
};
