#include "controller/state/device_state.h"

#include <glog/logging.h>

#include "common/file_util.h"
#include "common/process_util.h"
#include "controller/controller_context.h"
#include "device/oled.h"

namespace {

// The backing file of the mass-storage gadget.
constexpr const char* kLunFile = "/sys/devices/platform/exynos-dwc3.0/exynos-ss-udc.0/gadget/lun0/file";

// As "echo TEXT > FILE": the text and a line end, in one write.
void writeSysfs(const std::string& path, const std::string& text) {
    if (!pnocamera::writeSysfsValue(path, text + "\n")) LOG(ERROR) << "write " << path << " err";
}

}  // namespace

// The name is logged by the USB check that makes this screen.
DeviceState::DeviceState(Context& /*ctx*/) {
    show();
    writeSysfs(kLunFile, "");
    // read-only on the camera while the host writes the card: one writer
    // only, so the card is handed over only once the camera's own mount is
    // read-only
    int status = pnocamera::runProcess({"umount", "/sdcard"});
    if (!pnocamera::exitedCleanly(status)) {
        LOG(ERROR) << "card kept: umount /sdcard failed, status " << status;
        return;
    }
    status = pnocamera::runProcess({"mount", "-o", "ro", "/dev/mmcblk1p1", "/sdcard"});
    if (!pnocamera::exitedCleanly(status)) {
        LOG(ERROR) << "card kept: mount -o ro /sdcard failed, status " << status;
        return;
    }
    writeSysfs(kLunFile, "/dev/mmcblk1");
}

void DeviceState::show() { oled_logo(icon::kUsbStorage); }

void DeviceState::clear() { oled_clearLogo(icon::kUsbStorage); }
