// The idle record screen: first state after start-up; select records.
#pragma once

#include "controller/state/CameraState.h"

struct Context;

class RecordVideoState : public CameraState {
public:
    explicit RecordVideoState(Context& ctx);

    void show() override;
    void clear() override;
    int type() const override { return state_type::kIdle; }
    void handleButton0() override;
    void handleButton1() override;
    void handleButton2() override;

    // Free bytes a recording needs at its start (400 MiB).
    static constexpr unsigned long long kRecordRoom = 419430400ULL;

private:
    Context& ctx_;
    LifeToken life_;
};
