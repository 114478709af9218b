#include "config/resolution_config.h"

const std::map<int, ResolutionParam> ResolutionConfig::resolution_map_ = {
    {960, {960, "2K", 22, 46}},   {1088, {1088, "2K", 22, 46}}, {1360, {1360, "2K7", 23, 47}},
    {1440, {1440, "3K", 24, 48}}, {1504, {1504, "3K", 24, 48}}, {1680, {1680, "3K", 24, 48}},
    {1920, {1920, "4K", 25, 50}}, {2048, {2048, "4K", 25, 50}},
};

void ResolutionConfig::check(int id) const {
    if (resolution_map_.count(id) == 0)
        throw UnsupportedResolution(" resolution " + std::to_string(id) + " not supported");
}

ResolutionParam ResolutionConfig::queryResolution(int id) const {
    check(id);
    return resolution_map_.at(id);
}

bool lensFrameSize(int width, int height) {
    return width == height && ResolutionConfig::resolution_map_.count(width) != 0;
}
