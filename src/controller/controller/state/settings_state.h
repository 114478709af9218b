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
    void clear() override;
    void handleButton1() override;
};

// The menu of six rows.
class OnSettingsState : public CameraState {
public:
    enum Row { kRecordSize = 0, kApReset, kCameraInfo, kCalibration, kLanguage, kBack };

    explicit OnSettingsState(Context& ctx);

    void show() override;
    void clear() override;
    int type() const override { return state_type::kMenu; }
    void handleButton0() override { list_.previous(); }
    void handleButton1() override;
    void handleButton2() override { list_.next(); }

    const OledListView& list() const { return list_; }

private:
    Context& ctx_;
    OledListView list_;
};

// The record sizes of the "setting" array; select stores one.
class RecordSettingState : public CameraState {
public:
    explicit RecordSettingState(Context& ctx);

    void show() override;
    void clear() override;
    int type() const override { return state_type::kMenu; }
    void handleButton0() override;
    void handleButton1() override;
    void handleButton2() override;

    const std::vector<std::pair<int, ResolutionParam>>& entries() const { return entries_; }
    const OledListView& list() const { return list_; }

private:
    Context& ctx_;
    std::vector<std::pair<int, ResolutionParam>> entries_;
    OledListView list_;
};

// Module version and kernel build number.
class CameraInfoState : public CameraState {
public:
    explicit CameraInfoState(Context& ctx);

    void show() override;
    void clear() override;
    int type() const override { return state_type::kMenu; }
    void handleButton0() override {}
    void handleButton1() override;
    void handleButton2() override {}

private:
    Context& ctx_;
    OledListView list_;
};

// Chinese, English, back; a change reopens the screen with the language's
// icon table.
class LanguageSettingState : public CameraState {
public:
    explicit LanguageSettingState(Context& ctx);

    void show() override;
    void clear() override;
    int type() const override { return state_type::kMenu; }
    void handleButton0() override { list_.previous(); }
    void handleButton1() override;
    void handleButton2() override { list_.next(); }

private:
    Context& ctx_;
    OledListView list_;
};
