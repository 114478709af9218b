// The scene a lens looks at, and its JPEG frames as the bridge sends them
// (baseline, 4:2:2), exposed with the ISP's current exposure, gain,
// white-balance gains and brightness. A small dark detail crosses the ground
// one step a frame, so no two consecutive frames are the same.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace vcam {

// What the ISP applies to one frame. Channel factor: light * cast[c] *
// exposure / 1000 * gain / 100 * rgb[c] / 256, so a lens whose exposure and
// gains are its own metered values shows the scene at its nominal level;
// then offset is added to every channel.
struct Exposure {
    double light = 1.0;          // scene brightness of this lens
    double cast[3] = {1, 1, 1};  // colour of the light per channel
    uint32_t exposure = 1000;
    uint32_t gain = 100;
    uint16_t rgb[3] = {256, 256, 256};
    int offset = 0;       // brightness, -128..127
    bool mirror = false;  // left-right
    bool upside_down = false;

    bool operator==(const Exposure& o) const;
    double factor(int channel) const;
};

class TestPicture {
public:
    explicit TestPicture(int lens);
    ~TestPicture();
    TestPicture(const TestPicture&) = delete;
    TestPicture& operator=(const TestPicture&) = delete;

    // The JPEG of frame number sequence at width x height; the last one is
    // kept and handed out again while nothing changed. Empty when encoding
    // failed.
    const std::vector<uint8_t>& frame(int width, int height, const Exposure& e, uint64_t sequence = 0);

    // Where the moving detail of a frame stands: its top left corner and edge.
    struct Detail {
        int x, y, edge;
    };
    static Detail detail(int width, int height, uint64_t sequence);

    // The unexposed scene, RGB rows top to bottom (for tests).
    const std::vector<uint8_t>& scene(int width, int height);

private:
    struct TjHandle;
    void expose(const Exposure& e);
    void drawDetail(uint64_t sequence);
    void restoreDetail();

    int lens_;
    int scene_w_ = 0, scene_h_ = 0;
    std::vector<uint8_t> scene_;
    std::vector<uint8_t> exposed_;
    int frame_w_ = 0, frame_h_ = 0;
    Exposure frame_exposure_;
    uint64_t frame_sequence_ = 0;
    std::vector<uint8_t> under_;  // the exposed pixels the detail covers
    Detail detail_{0, 0, 0};
    uint8_t detail_rgb_[3] = {0, 0, 0};
    std::vector<uint8_t> jpeg_;
    std::unique_ptr<TjHandle> tj_;
};

}  // namespace vcam
