#include "model/board_pins.h"

#include <string>

#include <glog/logging.h>

#include "common/file_util.h"
#include "common/process_util.h"

namespace {

constexpr const char* kGovernorPath = "/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor";

}  // namespace

void runPinTool(int pin) { pnocamera::runProcess({"gpioPoke", std::to_string(pin)}); }

void toHost() {
    LOG(INFO) << "to host";
    runPinTool(board_pin::kUsbToHost);
}

void toDevice() {
    LOG(INFO) << "to device";
    runPinTool(board_pin::kUsbToDevice);
}

void setGovernor(const char* governor) {
    // same effect as "echo <governor>><path>"; the node is never created
    pnocamera::writeSysfsValue(kGovernorPath, std::string(governor) + "\n");
}
