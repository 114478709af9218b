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

SettingsState::SettingsState(Context& ctx) : CarouselState(ctx, icon::kSettings, icon::kSettingsTitle) {
    LOG(INFO) << "settings state";
    show();
}

void SettingsState::show() {
    oled_logo(icon::kSettingsTitle);
    showFrame();
}

void SettingsState::handleButton1() { ctx_.changeState(std::make_shared<OnSettingsState>(ctx_)); }

ListScreen::ListScreen(Context& ctx, int heading) : ctx_(ctx), list_(list_geometry::kPage), heading_(heading) {}

void ListScreen::show() {
    oled_logo(heading_);
    drawList();
}

void ListScreen::drawList() { list_.repaint(nullptr); }

void ListScreen::clear() { list_.clear(nullptr); }

void ListScreen::handleButton0() {
    if (!list_.items_.empty()) list_.previous();
}

void ListScreen::handleButton2() {
    if (!list_.items_.empty()) list_.next();
}

OnSettingsState::OnSettingsState(Context& ctx) : ListScreen(ctx, icon::kSettingsTitle) {
    LOG(INFO) << "on settings state";
    show();
}

void OnSettingsState::drawList() {
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
    oled_clearLogo(heading_);
    ListScreen::clear();
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

RecordSettingState::RecordSettingState(Context& ctx) : ListScreen(ctx, icon::kRecSizeTitle) {
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

void RecordSettingState::drawList() {
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
    ListScreen::clear();
    oled_clearLogo(heading_);
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

CameraInfoState::CameraInfoState(Context& ctx) : ListScreen(ctx, icon::kSettingsTitle) {
    list_.items_.push_back(
        std::make_shared<OledViewStringDecorator>(row(icon::kRowVersion), ctx_.camera_.queryVersion()));
    list_.items_.push_back(
        std::make_shared<OledViewStringDecorator>(row(icon::kRowKernel), std::to_string(ctx_.camera_.kernelVersion())));
    list_.set_cursor_free(true);
    list_.set_reverse(false);
    show();
}

void CameraInfoState::handleButton1() {
    clear();
    backToSettings(ctx_);
}

LanguageSettingState::LanguageSettingState(Context& ctx) : ListScreen(ctx, icon::kSettingsTitle) {
    list_.items_.push_back(row(icon::kRowChinese));
    list_.items_.push_back(row(icon::kRowEnglish));
    list_.items_.push_back(row(icon::kRowBack));
    list_.set_cursor_free(true);
    list_.set_reverse(true);
    show();
}

void LanguageSettingState::handleButton1() {
    switch (list_.selectIndex()) {
        case kChinese:
            UserConfig().setLanguage(UserConfig::Chinese);
            ctx_.initScreen();  // the new icon table serves every later drawing
            break;
        case kEnglish:
            UserConfig().setLanguage(UserConfig::English);
            ctx_.initScreen();
            break;
        case kBack:
            break;
        default:
            LOG(FATAL) << "Language setting index go to default";
    }
    clear();
    backToSettings(ctx_);
}
