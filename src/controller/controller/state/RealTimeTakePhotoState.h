// The busy real-time preview screen: runs the streaming worker for preview
// (type 9, takes snapshots) or record preview (type 11).
#pragma once

#include "controller/state/CameraState.h"

struct Context;

enum PreviewType { kPreview = 0, kRecordPreview = 1 };

class RealTimeTakePhotoState : public JobState {
public:
    RealTimeTakePhotoState(Context& ctx, PreviewType type);

    void show() override;
    void clear() override;
    int type() const override {
        return type_ == kPreview ? state_type::kRealTimePreview : state_type::kRealTimeRecordPreview;
    }
    void handCmdInput(CmdMessage const& msg) override;
    void handleSigChild() override;
    void onAlrm() override;
    void onPrepareOk();

private:
    void stopJob() override;
    void leaveFailedStart(int code) override;

    PreviewType type_;
};
