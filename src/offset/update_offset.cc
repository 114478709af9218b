#include "offset/update_offset.h"

namespace {

bool hasTwoLenses(const OffsetParam& p) { return p.camera_num_ == 2 && p.lenses_.size() == 2; }

}  // namespace

OffsetUpdater::OffsetUpdater(OffsetParam& offset, OffsetParam& origin) : offset_(offset), origin_(origin) {
    if (offset_.version_ != origin_.version_) throw OffsetError("offset and origin mismatch");
}

int OffsetUpdater::update() {
    const unsigned version = offset_.version_;
    if (version > 1) return 1;
    if (version != 1) return 0;
    return convert(true);
}

int OffsetUpdater::updateVersion1() { return convert(false); }

int OffsetUpdater::convert(bool replace_origin) {
    if (!hasTwoLenses(offset_) || !hasTwoLenses(origin_)) return 0;

    LensParam& lens = offset_.lenses_[1];
    if (lens.yaw > 100.0 && lens.pitch < -100.0) {
        // Already mirrored: only the label was missing.
        origin_.version_ = 2;
        offset_.version_ = 2;
        return 1;
    }

    // Throws before anything is changed when the two do not match.
    OffsetParam diff = offset_ - origin_;

    {
        const double w = offset_.width_;
        const double half = static_cast<double>(offset_.width_ / 2);
        const double h = offset_.height_;
        double x = half - lens.x;
        x = w + x;
        lens.x = x + 1.5;
        lens.y = (h - lens.y) + 4.2;
        lens.yaw = lens.yaw + 180.0;
        lens.pitch = (0.0 - lens.pitch) - 180.0;
        offset_.version_ = 2;
    }
    {
        LensParam& d = diff.lenses_[1];
        const double w = diff.width_;
        const double half = static_cast<double>(diff.width_ / 2);
        const double h = diff.height_;
        d.x = w + (half - d.x);
        d.y = h - d.y;
        diff.version_ = 2;
    }

    if (replace_origin) origin_ = offset_ - diff;
    return 1;
}
