// Frame-size ids (the per-lens frame width) with their resolution label and
// OLED icon numbers.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

struct ResolutionParam {
    int32_t id;
    std::string name;
    int32_t badge_icon;
    int32_t list_icon;
};

class UnsupportedResolution : public std::runtime_error {
public:
    explicit UnsupportedResolution(const std::string& what) : std::runtime_error(what) {}
};

class ResolutionConfig {
public:
    void check(int id) const;
    ResolutionParam queryResolution(int id) const;

    static const std::map<int, ResolutionParam> resolution_map_;
};

// The frames the lenses stream: square, with an edge of the table.
bool lensFrameSize(int width, int height);
