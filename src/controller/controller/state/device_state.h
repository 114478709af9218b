// The USB mass-storage screen: shown while a USB host has the SD card; the
// buttons do nothing. The tick's USB check makes it and leaves it.
#pragma once

#include "controller/state/CameraState.h"

struct Context;

class DeviceState : public CameraState {
public:
    explicit DeviceState(Context& ctx);

    void show() override;
    void clear() override;
    int type() const override { return state_type::kUsbStorage; }
    void handleButton0() override {}
    void handleButton1() override {}
    void handleButton2() override {}
};
