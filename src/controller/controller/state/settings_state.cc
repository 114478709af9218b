#include "controller/state/settings_state.h"

#include <memory>
#include <string>

#include <glog/logging.h>

#include "config/app_config.h"
#include "config/user_config.h"
#include "controller/controller_context.h"
#include "device/oled.h"
#include "view/OledListItemView.h"
#include "view/OledViewResolutionDecorator.h"
#include "view/OledViewStringDecorator.h"

namespace {

// The default passphrase of the access point.
constexpr const char* kDefaultPassphrase = "Vorpa517";

std::shared_ptr<OledView> row(int icon_number, bool detail = false) {
    auto v = std::make_shared<OledListItemView>(icon_number);
    v->set_accessory_detail(detail);
    return v;
}

// The record parameters of the camera's own configuration; false when it
// cannot answer.
bool recordParam(Context& ctx, ConfigParam& p) {
    try {
        ctx.camera_.app_config_.queryRecordParam(p);
        return true;
    } catch (const ConfigError& e) {
        LOG(ERROR) << "record config err " << e.what();
        return false;
    }
}

void backToSettings(Context& ctx) { ctx.changeState(std::make_shared<SettingsState>(ctx)); }

}  // namespace

SettingsState::SettingsState(Context& ctx) : CarouselState(ctx, CarouselStop::kSettings) {
    LOG(INFO) << "settings state";
    show();
}

void SettingsState::show() {
    oled_logo(icon::kSettingsTitle);
    oled_logo(icon::kFrame);
    oled_logo(icon::kNav);
    oled_logo(icon::kSettings);
}

void SettingsState::clear() {
    oled_clearLogo(icon::kFrame);
    oled_clearLogo(icon::kSettingsTitle);
    oled_clearLogo(icon::kNav);
    oled_clearLogo(icon::kListArea);
}

void SettingsState::handleButton1() { ctx_.changeState(std::make_shared<OnSettingsState>(ctx_)); }

OnSettingsState::OnSettingsState(Context& ctx) : ctx_(ctx), list_(list_geometry::kPage) {
    LOG(INFO) << "on settings state";
    show();
}

void OnSettingsState::show() {
    oled_logo(icon::kSettingsTitle);
    ConfigParam p;
    std::shared_ptr<OledView> size = row(icon::kRowRecSize);
    if (recordParam(ctx_, p)) {
        try {
            int badge = ResolutionConfig().queryResolution(p.width).badge_icon;
            size = std::make_shared<OledViewResolutionDecorator>(size, badge);
        } catch (const UnsupportedResolution& e) {
            // a width the table does not know: the row has no badge
            LOG(ERROR) << "record width without badge " << e.what();
        }
    }
    size->set_accessory_detail(true);
    list_.items_.push_back(size);
    list_.items_.push_back(row(icon::kRowApReset));
    list_.items_.push_back(row(icon::kRowCamInfo, true));
    list_.items_.push_back(row(icon::kRowCalibrate));
    list_.items_.push_back(row(icon::kRowLanguage, true));
    list_.items_.push_back(row(icon::kRowBack));
    list_.set_reverse(true);
    list_.repaint(nullptr);
}

void OnSettingsState::clear() {
    oled_clearLogo(icon::kSettingsTitle);
    list_.clear(nullptr);
}

void OnSettingsState::handleButton1() {
    switch (list_.selectIndex()) {
        case kRecordSize:
            ctx_.changeState(std::make_shared<RecordSettingState>(ctx_));
            return;
        case kApReset:
            // rewrites the configuration only; the access point is not restarted
            ctx_.camera_.configAP("wpa_passphrase", kDefaultPassphrase);
            backToSettings(ctx_);
            return;
        case kCameraInfo:
            clear();
            ctx_.changeState(std::make_shared<CameraInfoState>(ctx_));
            return;
        case kCalibration:
            // the loop waits for the whole calibration
            oled_logo(icon::kCalibrating);
            ctx_.camera_.correctOffset();
            oled_logo(icon::kListArea);
            backToSettings(ctx_);
            return;
        case kLanguage:
            clear();
            ctx_.changeState(std::make_shared<LanguageSettingState>(ctx_));
            return;
        default:
            backToSettings(ctx_);
            return;
    }
}

RecordSettingState::RecordSettingState(Context& ctx) : ctx_(ctx), list_(list_geometry::kPage) {
    std::vector<int> ids;
    try {
        ctx_.camera_.app_config_.querySettingItem(ids);
    } catch (const ConfigError& e) {
        LOG(ERROR) << "setting config err " << e.what();
    }
    ResolutionConfig table;
    for (int id : ids) {
        try {
            entries_.emplace_back(id, table.queryResolution(id));
        } catch (const UnsupportedResolution& e) {
            // left out of the list; the controller goes on
            LOG(ERROR) << "unsupported setting id " << id << " " << e.what();
        }
    }
    show();
}

void RecordSettingState::show() {
    oled_logo(icon::kRecSizeTitle);
    ConfigParam p;
    bool known = recordParam(ctx_, p);
    int selected = 0;
    for (size_t i = 0; i < entries_.size(); ++i) {
        list_.items_.push_back(row(entries_[i].second.list_icon));
        if (known && entries_[i].first == p.width) selected = static_cast<int>(i);
    }
    list_.set_reverse(true);
    list_.set_cursor_free(true);
    // an empty list shows its heading only
    if (!entries_.empty()) list_.showSelectIndex(selected);
}

void RecordSettingState::clear() {
    list_.clear(nullptr);
    oled_clearLogo(icon::kRecSizeTitle);
}

void RecordSettingState::handleButton0() {
    if (!entries_.empty()) list_.previous();
}

void RecordSettingState::handleButton2() {
    if (!entries_.empty()) list_.next();
}

void RecordSettingState::handleButton1() {
    if (!entries_.empty()) {
        ConfigParam p;
        p.width = p.height = entries_.at(list_.selectIndex()).first;
        // the camera's own configuration: the next recording uses it
        try {
            if (!ctx_.camera_.app_config_.setRecordVideoParm(p)) LOG(ERROR) << "record size not stored";
        } catch (const ConfigError& e) {
            LOG(ERROR) << "record size not stored " << e.what();
        }
    }
    backToSettings(ctx_);
}

CameraInfoState::CameraInfoState(Context& ctx) : ctx_(ctx), list_(list_geometry::kPage) {
    list_.items_.push_back(
        std::make_shared<OledViewStringDecorator>(row(icon::kRowVersion), ctx_.camera_.queryVersion()));
    list_.items_.push_back(
        std::make_shared<OledViewStringDecorator>(row(icon::kRowKernel), std::to_string(ctx_.camera_.kernelVersion())));
    list_.set_cursor_free(true);
    list_.set_reverse(false);
    show();
}

void CameraInfoState::show() {
    oled_logo(icon::kSettingsTitle);
    list_.repaint(nullptr);
}

void CameraInfoState::clear() { list_.clear(nullptr); }

void CameraInfoState::handleButton1() {
    clear();
    backToSettings(ctx_);
}

LanguageSettingState::LanguageSettingState(Context& ctx) : ctx_(ctx), list_(list_geometry::kPage) {
    list_.items_.push_back(row(icon::kRowChinese));
    list_.items_.push_back(row(icon::kRowEnglish));
    list_.items_.push_back(row(icon::kRowBack));
    list_.set_cursor_free(true);
    list_.set_reverse(true);
    show();
}

void LanguageSettingState::show() {
    oled_logo(icon::kSettingsTitle);
    list_.repaint(nullptr);
}

void LanguageSettingState::clear() { list_.clear(nullptr); }

void LanguageSettingState::handleButton1() {
    switch (list_.selectIndex()) {
        case 0:
            UserConfig().setLanguage(UserConfig::Chinese);
            ctx_.initScreen();  // the new icon table serves every later drawing
            break;
        case 1:
            UserConfig().setLanguage(UserConfig::English);
            ctx_.initScreen();
            break;
        case 2:
            break;
        default:
            LOG(FATAL) << "Language setting index go to default";
    }
    clear();
    backToSettings(ctx_);
}
