// The motion-sensor calibration screen: select, then three seconds later one
// reading of the sensor is stored as "gyroOffset" in "/etc/offset.conf".
#pragma once

#include <string>

#include "controller/state/CameraState.h"
#include "device/gsensor.h"

struct Context;

class GyroCorrectState : public CameraState {
public:
    explicit GyroCorrectState(Context& ctx);

    void show() override;
    void clear() override;
    int type() const override { return state_type::kMenu; }
    void handleButton0() override {}
    void handleButton1() override;
    void handleButton2() override {}
    void onAlrm() override;

    // One reading into the sample.
    void correctGyro();
    // The stored form: acceleration x, y, z, rotation x, y, z joined by "_",
    // each as a stream writes a double.
    static std::string offsetText(const gsensorData& sample);

    const gsensorData& sample() const { return sample_; }

private:
    Context& ctx_;
    gsensorData sample_{};  // zeros until a reading succeeds
    bool started_ = false;
};
