// The settings stop of the carousel and its menus: record size, reset of the
// access-point passphrase, camera information, lens calibration, language.
#pragma once

#include <utility>
#include <vector>

#include "config/resolution_config.h"
#include "controller/state/carousel.h"
#include "view/OledListView.h"

struct Context;

class SettingsState : public CarouselState {
public:
    explicit SettingsState(Context& ctx);

    void show() override;
    void handleButton1() override;
};

// A settings screen of one list of page 3 under a heading: show() draws the
// heading, then the list; next and previous move the selection (a list
// without rows stays as it is); clear() takes the list down.
class ListScreen : public CameraState {
public:
    void show() final;
    void clear() override;
    int type() const override { return state_type::kMenu; }
    void handleButton0() override;
    void handleButton2() override;

    const OledListView& list() const { return list_; }

protected:
    ListScreen(Context& ctx, int heading);

    // The list under the heading; a screen that reads its rows when it is
    // shown (once) adds them here.
    virtual void drawList();

    Context& ctx_;
    OledListView list_;
    const int heading_;
};

// The menu of six rows.
class OnSettingsState : public ListScreen {
public:
    enum Row { kRecordSize = 0, kApReset, kCameraInfo, kCalibration, kLanguage, kBack };

    explicit OnSettingsState(Context& ctx);

    void clear() override;
    void handleButton1() override;

private:
    void drawList() override;
};

// The record sizes of the "setting" array; select stores one.
class RecordSettingState : public ListScreen {
public:
    explicit RecordSettingState(Context& ctx);

    void clear() override;
    void handleButton1() override;

    const std::vector<std::pair<int, ResolutionParam>>& entries() const { return entries_; }

private:
    void drawList() override;

    std::vector<std::pair<int, ResolutionParam>> entries_;
};

// Module version and kernel build number.
class CameraInfoState : public ListScreen {
public:
    explicit CameraInfoState(Context& ctx);

    void handleButton0() override {}
    void handleButton1() override;
    void handleButton2() override {}
};

// Chinese, English, back; a change reopens the screen with the language's
// icon table.
class LanguageSettingState : public ListScreen {
public:
    enum Row { kChinese = 0, kEnglish, kBack };

    explicit LanguageSettingState(Context& ctx);

    void handleButton1() override;
};
