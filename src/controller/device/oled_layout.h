// Where things sit on the panel, for the screens and the list views alike:
// the icon numbers of the loaded icon table and the settings lists'
// geometry.
#pragma once

#include "device/oled.h"

// Icon numbers (iconState): indexes into the loaded icon table.
namespace icon {
enum : int {
    kFrame = 0,  // divider of the carousel screens
    kLive = 1,
    kSettingsTitle = 3,  // heading of the settings menus
    kRecSizeTitle = 6,   // heading of the record-size list
    kPhoto = 7,
    kNav = 8,  // carousel arrows
    kPower = 9,
    kVideo = 10,
    kWifi = 11,
    kCharging = 12,
    kBattery = ICON_BATTERY,  // battery gauge
    kApOff = 14,
    kApOn = 15,
    kListArea = 17,    // the main area; its erasure blanks every list row
    kLiveDotOff = 18,  // live clock, even second
    kLiveDotOn = 19,   // live clock, odd second
    kPowerOff = 20,
    kSettings = 21,
    kGyroMeasuring = 26,
    kCalibrating = 27,
    kGyroStart = 29,
    kRowCalibrate = 30,
    kRowCamInfo = 32,
    kRowVersion = 33,
    kRowKernel = 34,
    kRowLanguage = 35,
    kRowChinese = 36,
    kRowEnglish = 37,
    kCursor = 39,  // list cursor beside a row that opens a screen
    kRowApReset = 45,
    kRowBack = 52,
    kRowRecSize = 54,
    kCounts = ICON_COUNTS,  // photo counts; text field 1 moves up under it
    kStreaming = 59,
    kRecReady = 60,
    kErrorWrite = 61,  // error screen of failure code 3
    kWait = 63,
    kPowerHint = 64,
    kErrorFailed = 65,  // error screen of any other failure code
    kNoCard = 66,
    kCardFull = 68,
    kCardError = 69,
    kUsbStorage = 70,
    kRecDotOff = 74,  // record clock, even second
    kRecDotOn = 75,   // record clock, odd second
    kApIsOn = 80,
    kApIsOff = 81,
    kApClosing = 82,
    kApOpening = 83,
};
}  // namespace icon

// The settings lists: rows per page and the scroll bar beside them.
namespace list_geometry {
enum : int {
    kPage = 3,
    kScrollX = 55,
    kScrollY = 16,
    kScrollW = 4,
    kScrollH = 47,
};
}  // namespace list_geometry
