// fwflash: writes a firmware image into the camera module over USB through
// the bridge's extension unit.
//
//   fwflash IMAGE
#include <cstdio>

#include "BrgXu.h"

int main(int argc, char** argv) {
    // Nothing is opened, detached or claimed without an image to write.
    if (argc < 2) {
        puts("usage: fwflash <firmware image>");
        return 1;
    }
    BrgDevHandle* handle = OpenBrgDevice(BRG_VID, BRG_UVC_PID, 0);
    if (!handle) {
        puts("open device failed");
        return 1;
    }
    if (UpdateFirmwareUvcPath(handle, argv[1], 0) == 0) {
        CloseBrgDevice(handle);
        return 0;
    }
    return 1;
}
