// Converts a two-lens offset and the origin it was measured against from
// format version 1 to version 2, where lens 1 is described mirrored.
#pragma once

#include "offset/offset_param.h"

class OffsetUpdater {
public:
    // Keeps both (owned by the caller, changed in place). Throws
    // OffsetError("offset and origin mismatch") when their versions differ.
    OffsetUpdater(OffsetParam& offset, OffsetParam& origin);

    // 1 when the offset is at version 2 or later afterwards, 0 when it could
    // not be converted (version 0, a lens count other than 2). Throws
    // OffsetError when offset and origin differ in lens count, lens version
    // or frame size; both are unchanged then.
    int update();

    // One conversion pass without the version test and without replacing
    // the origin; 1, or 0 when a lens count is not 2.
    int updateVersion1();

private:
    int convert(bool replace_origin);

    OffsetParam& offset_;
    OffsetParam& origin_;
};
