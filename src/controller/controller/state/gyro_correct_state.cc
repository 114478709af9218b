#include "controller/state/gyro_correct_state.h"

#include <unistd.h>

#include <sstream>

#include <glog/logging.h>

#include "config/config_paths.h"
#include "config/property_config.h"
#include "controller/controller_context.h"
#include "controller/state/settings_state.h"
#include "device/oled.h"

namespace {
constexpr unsigned kMeasureDelaySeconds = 3;  // the camera is held still meanwhile
}  // namespace

GyroCorrectState::GyroCorrectState(Context& ctx) : ctx_(ctx) { show(); }

void GyroCorrectState::show() { oled_logo(icon::kGyroStart); }

void GyroCorrectState::clear() { oled_clearLogo(icon::kGyroMeasuring); }

void GyroCorrectState::handleButton1() {
    if (started_) return;
    started_ = true;
    oled_clearLogo(icon::kGyroStart);
    oled_logo(icon::kGyroMeasuring);
    armAlarm(kMeasureDelaySeconds);
}

void GyroCorrectState::correctGyro() {
    mpuOpen();
    mpuRead(&sample_);
    mpuClose();
}

std::string GyroCorrectState::offsetText(const gsensorData& s) {
    std::ostringstream out;
    out << s.ax << "_" << s.ay << "_" << s.az << "_" << s.gx << "_" << s.gy << "_" << s.gz;
    return out.str();
}

void GyroCorrectState::onAlrm() {
    clear();
    correctGyro();  // a failed open or read keeps the sample as it was
    LOG(INFO) << sample_.gx << " " << sample_.gy << " " << sample_.gz << " " << sample_.ax << " " << sample_.ay << " "
              << sample_.az;
    // the caller holds this state, so the sample outlives the transition
    ctx_.changeState(std::make_shared<SettingsState>(ctx_));
    PropertyConfig(camera_paths::kOffsetConf).setProperty("gyroOffset", offsetText(sample_));
}
