// SD card model: presence, read-write mount, free room, media counts.
#pragma once

#include <functional>
#include <string>

class Sdcard {
public:
    Sdcard();

    bool checkIsVfat() const;
    bool queryStatus(unsigned long long& freeBytes, unsigned long long& totalBytes) const;
    int estimatePhotoLeft() const;
    int queryTypeNumber(std::string suffix) const;

    const char* mount_path_ = "/sdcard";
    bool inserted_ = false;
    bool supported_ = false;
    std::function<void(int)> listener_;

    // Sources; tests point them elsewhere.
    std::string mounts_file_ = "/proc/mounts";
    std::string block_device_ = "/dev/mmcblk1p1";
};
