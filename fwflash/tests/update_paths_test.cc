// The device library's other update paths, the ROM-boot and SCSI paths and
// the device log, run in the virtual camera against the emulated camera
// module through Debian's libusb.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "BrgXu.h"
#include "RombootApi.h"
#include "fw_package.h"
#include "hex_text.h"
#include "module_controls.h"
#include "support/camtest.h"
#include "support/vcam_session.h"
#include "test_util.h"

namespace {

using fwtest::callsStarting;
using fwtest::Clock;
using fwtest::msSince;
using fwtest::pattern;
using fwtest::readMemory;
using fwtest::sawCall;
using fwtest::usb;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

std::string hexLe32(uint32_t v) {
    std::string b;
    for (int i = 0; i < 4; ++i) b += static_cast<char>(v >> (8 * i));
    return vcam::toHex(b);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ModuleTest : public testing::Test {
protected:
    void SetUp() override {
        fwtest::resetModule(0);
        mkdir("/tmp/work", 0755);
        ASSERT_EQ(0, chdir("/tmp/work"));
    }
    void TearDown() override { CloseBrgDevice(handle_); }

    // Opens the module as it is now on interface 0 (output dropped).
    BrgDevHandle* open(uint16_t pid) {
        CaptureStdout();
        handle_ = OpenBrgDevice(BRG_VID, pid, 0);
        GetCapturedStdout();
        return handle_;
    }
    void close() {
        CloseBrgDevice(handle_);
        handle_ = nullptr;
    }
    BrgDevHandle* handle_ = nullptr;
};

using Download = ModuleTest;

TEST_F(Download, VendorRequestsAnnounceSendAndBurn) {
    ASSERT_NE(nullptr, open(BRG_UVC_PID));
    const std::string image = pattern(70000, 9);
    camtest::writeFile("/tmp/work/fw.bin", image);
    CaptureStdout();
    EXPECT_EQ(0, UpdateFirmware(handle_, "/tmp/work/fw.bin", 1));
    EXPECT_EQ("binary size=70000 bytes\r\nStart burning.\r\nUpdate flash successfully.\r\n", GetCapturedStdout());
    EXPECT_EQ(image, fwtest::burnedImage(0));
    // 70000 = 0x11170: low half in wValue, high half in wIndex.
    EXPECT_TRUE(sawCall(0, "vendor 40 82 1170 0001 0"));
    const std::vector<std::string> pieces = callsStarting(0, "bulk out 04");
    ASSERT_EQ(3u, pieces.size());
    EXPECT_EQ("bulk out 04 32768", pieces[0]);
    EXPECT_EQ("bulk out 04 4464", pieces[2]);
    EXPECT_TRUE(sawCall(0, "vendor 40 03 1170 0001 0"));

    // The burn request by chip.
    camtest::writeFile("/tmp/work/small.bin", "0123456789");
    for (auto chip :
         {std::make_pair(2, "06"), std::make_pair(3, "05"), std::make_pair(4, "08"), std::make_pair(9, "03")}) {
        usb(0, "clear");
        CaptureStdout();
        EXPECT_EQ(0, UpdateFirmware(handle_, "/tmp/work/small.bin", chip.first));
        GetCapturedStdout();
        EXPECT_TRUE(sawCall(0, std::string("vendor 40 ") + chip.second + " 000a 0000 0")) << chip.first;
    }

    // A piece that fails stops the download before the burn request.
    usb(0, "clear");
    usb(0, "fault bulk 04");
    CaptureStdout();
    EXPECT_EQ(BRG_TRANSFER_FAILED, UpdateFirmware(handle_, "/tmp/work/fw.bin", 1));
    EXPECT_EQ("binary size=70000 bytes\r\nPCSYNC_BULK_OUT_EP(4) Error.\r\nUpdate flash failed. 649\r\n",
              GetCapturedStdout());
    EXPECT_EQ(1u, callsStarting(0, "bulk out 04").size());
    EXPECT_FALSE(sawCall(0, "vendor 40 03"));

    // The module refuses the burn.
    usb(0, "clear");
    usb(0, "fault vendor 03");
    CaptureStdout();
    EXPECT_EQ(BRG_TRANSFER_FAILED, UpdateFirmware(handle_, "/tmp/work/small.bin", 1));
    EXPECT_EQ("binary size=10 bytes\r\nStart burning.\r\nUpdate flash failed. 649\r\n", GetCapturedStdout());

    // No handle: nothing to talk to.
    EXPECT_EQ(-1, UpdateFirmware(nullptr, "/tmp/work/small.bin", 1));
}

TEST_F(Download, CheckSumBeforeTheBurn) {
    ASSERT_NE(nullptr, open(BRG_UVC_PID));
    const std::string image = pattern(40000, 4);
    camtest::writeFile("/tmp/work/fw.bin", image);
    CaptureStdout();
    EXPECT_EQ(0, UpdateBrgFirmwareWithCheckSum(handle_, "/tmp/work/fw.bin", 0x1122334455667788ull));
    EXPECT_EQ("binary size=40000 bytes\r\nStart burning.\r\nUpdate flash successfully.\r\n", GetCapturedStdout());
    EXPECT_TRUE(sawCall(0, "vendor 40 07 0000 0000 12 8877665544332211" + hexLe32(40000)));
    EXPECT_TRUE(sawCall(0, "vendor 40 03 9c40 0000 0"));
    EXPECT_EQ(image, fwtest::burnedImage(0));

    usb(0, "clear");
    usb(0, "fault vendor 07");
    CaptureStdout();
    EXPECT_EQ(BRG_TRANSFER_FAILED, UpdateBrgFirmwareWithCheckSum(handle_, "/tmp/work/fw.bin", 1));
    EXPECT_EQ("binary size=40000 bytes\r\nCheck sum does not match.\r\n", GetCapturedStdout());
    EXPECT_FALSE(sawCall(0, "vendor 40 03"));

    // A piece that times out is a hole: no check, no burn.
    usb(0, "clear");
    usb(0, "fault bulk 04 timeout");
    CaptureStdout();
    EXPECT_EQ(BRG_TRANSFER_FAILED, UpdateBrgFirmwareWithCheckSum(handle_, "/tmp/work/fw.bin", 1));
    EXPECT_EQ("binary size=40000 bytes\r\nPCSYNC_BULK_OUT_EP(4) timeout.\r\nUpdate flash failed. 772\r\n",
              GetCapturedStdout());
    EXPECT_FALSE(sawCall(0, "vendor 40 07"));
    EXPECT_FALSE(sawCall(0, "vendor 40 03"));
}

TEST_F(Download, PartialUpdateInHalfMegabyteParts) {
    ASSERT_NE(nullptr, open(BRG_UVC_PID));
    const std::string image = pattern(600000, 5);
    camtest::writeFile("/tmp/work/part.bin", image);
    CaptureStdout();
    EXPECT_EQ(0, PartialUpdateFlash(handle_, "/tmp/work/part.bin", 0x1000, true));
    EXPECT_EQ(
        "binary size=600000 bytes\r\nNum of parts:2\r\n"
        "Start partial update flash.\r\nFlash Address: 0x1000, Length: 0x80000 bytes \r\n"
        "Start partial update flash.\r\nFlash Address: 0x81000, Length: 0x127C4 bytes \r\n"
        "Partial update flash successfully.\r\n",
        GetCapturedStdout());
    // The length prefix, then the image, from the flash address on.
    EXPECT_EQ(vcam::toHex(readMemory(0, "flash", 0x1000, 600004)), hexLe32(600000) + vcam::toHex(image));
    EXPECT_TRUE(sawCall(0, "vendor 40 04 0000 0001 8 00100000" + hexLe32(0x80000)));

    // The first part refused: the second is never sent.
    usb(0, "clear");
    usb(0, "fault vendor 04");
    CaptureStdout();
    EXPECT_EQ(BRG_TRANSFER_FAILED, PartialUpdateFlash(handle_, "/tmp/work/part.bin", 0, false));
    EXPECT_EQ(
        "binary size=600000 bytes\r\nNum of parts:2\r\n"
        "Start partial update flash.\r\nFlash Address: 0x0, Length: 0x80000 bytes \r\n"
        "Partial Update flash failed. 1210\r\n",
        GetCapturedStdout());
    EXPECT_EQ(1u, callsStarting(0, "vendor 40 82").size());
}

TEST_F(Download, PcsyncPathInSmallPieces) {
    ASSERT_NE(nullptr, open(BRG_UVC_PID));
    camtest::writeFile("/tmp/work/fw.bin", pattern(1000, 6));
    CaptureStdout();
    EXPECT_EQ(0, UpdateFirmwarePcsyncPath(handle_, "/tmp/work/fw.bin", 0));
    EXPECT_EQ("binary size=1000 bytes\r\nStart burning.\r\nUpdate flash successfully.\r\n", GetCapturedStdout());
    const std::vector<std::string> pieces = callsStarting(0, "bulk out 01");
    ASSERT_EQ(16u, pieces.size());
    EXPECT_EQ("bulk out 01 64", pieces[0]);
    EXPECT_EQ("bulk out 01 40", pieces[15]);

    // The first piece failing is not hidden behind the last one.
    usb(0, "clear");
    usb(0, "fault bulk 01");
    CaptureStdout();
    EXPECT_EQ(BRG_TRANSFER_FAILED, UpdateFirmwarePcsyncPath(handle_, "/tmp/work/fw.bin", 0));
    EXPECT_TRUE(contains(GetCapturedStdout(), "Update flash failed. 2122\r\n"));
    EXPECT_EQ(1u, callsStarting(0, "bulk out 01").size());
}

TEST_F(Download, CnxtPackageThroughTheExtensionUnit) {
    ASSERT_NE(nullptr, open(BRG_UVC_PID));
    const std::string loader = pattern(100, 7), firmware = pattern(250, 8);
    camtest::writeFile("/tmp/work/loader.bin", loader);
    camtest::writeFile("/tmp/work/cnxt.bin", firmware);
    CaptureStdout();
    EXPECT_EQ(0, AQUILA_UpdateCnxtFlash(handle_, "/tmp/work/loader.bin", "/tmp/work/cnxt.bin"));
    std::string out = GetCapturedStdout();
    // Header, loader and firmware (366 bytes) in 12 chunks.
    EXPECT_EQ(12u, camtest::countOf(out, "Vender Command result= 0x0 \r\n"));
    EXPECT_TRUE(contains(out, "Update flash successfully.\r\n")) << out;
    std::string header = "CNXT" + std::string("\x64\0\0\0\xFA\0\0\0\0\0\0\0", 12);
    std::string expected = header + loader + firmware;
    expected.resize(12 * 32, '\0');
    EXPECT_EQ(vcam::toHex(expected), vcam::toHex(fwtest::burnedImage(0)));
    EXPECT_TRUE(sawCall(0, "xu set 4 8 0100030300000000"));
    EXPECT_TRUE(sawCall(0, "xu set 4 8 0101030300000000"));

    usb(0, "clear");
    usb(0, "after-burn fail 0");
    CaptureStdout();
    EXPECT_EQ(BRG_TRANSFER_FAILED, AQUILA_UpdateCnxtFlash(handle_, "/tmp/work/loader.bin", "/tmp/work/cnxt.bin"));
    EXPECT_TRUE(contains(GetCapturedStdout(), "Update flash error !!!!.\r\n"));

    // A burn command the module did not take: no polls, no success.
    for (const char* fault : {"fault burn stall", "fault burn short"}) {
        usb(0, "clear");
        usb(0, fault);
        CaptureStdout();
        EXPECT_EQ(BRG_TRANSFER_FAILED, AQUILA_UpdateCnxtFlash(handle_, "/tmp/work/loader.bin", "/tmp/work/cnxt.bin"));
        out = GetCapturedStdout();
        EXPECT_TRUE(contains(out, "\r\nUpdate flash error !!!!.\r\n")) << fault << "\n" << out;
        EXPECT_FALSE(contains(out, "Update flash successfully.")) << fault << "\n" << out;
        EXPECT_TRUE(callsStarting(0, "xu get 5").empty()) << fault;
    }

    usb(0, "clear");
    CaptureStdout();
    EXPECT_EQ(BRG_TRANSFER_FAILED, AQUILA_UpdateCnxtFlash(handle_, "/tmp/work/none.bin", "/tmp/work/cnxt.bin"));
    EXPECT_EQ("file /tmp/work/none.bin not exist. \r\n", GetCapturedStdout());
    EXPECT_TRUE(callsStarting(0, "xu ").empty());
}

using Falcon = ModuleTest;

// The command family's packets as the module receives them, and their
// failures reported instead of a zero.
TEST_F(Download, CommandFamilyPackets) {
    ASSERT_NE(nullptr, open(BRG_UVC_PID));
    CaptureStdout();
    EXPECT_EQ(0, WriteSensorReg(handle_, 0x3012, 0x0456));
    uint16_t reg = 0xBEEF;
    EXPECT_EQ(0, ReadSensorReg(handle_, 0x3012, &reg));
    EXPECT_EQ(0, reg);  // the module answers zeros
    EXPECT_EQ(0, SetH264Bitrate(handle_, 4000));
    EXPECT_EQ(0, BrgXU_SetVideoOption(handle_, 0x11223344));
    uint32_t options = 7;
    EXPECT_EQ(0, BrgXU_GetVideoOption(handle_, &options));
    EXPECT_EQ(0u, options);
    EXPECT_EQ(16, Set_SEC_TV_PreviewParam(handle_, 1, 2, 0x10, 0x20, 0x300, 0x400, 0x500, 0x600));
    EXPECT_EQ(0, DisableFlashWP(handle_));
    EXPECT_EQ(0, RombootReset(handle_));
    FACE_CMD face = {3, 2, {9, 8}};
    EXPECT_EQ(0, SetFD_Param(handle_, &face));
    FacePositionList faces;
    faces.num_face = 99;
    EXPECT_EQ(0, GetFD_Position(handle_, &faces));
    EXPECT_EQ(0, faces.num_face);
    EXPECT_EQ("", GetCapturedStdout());
    const std::string z8(8, '0'), z16(16, '0');
    const std::vector<std::string> expected = {
        "xu set 1 8 0a03123056040000",
        "xu set 1 8 0a02123000000000",
        "xu get 2 8",
        "xu set 1 8 08ffa00f00000000",
        "xu set 14 16 0202443322110000" + z16,
        "xu set 14 16 0201000000000000" + z16,
        "xu get 15 16",
        "xu set 14 16 01010210002000000300040005000600",
        "xu set 14 16 0700000000000000" + z16,
        "xu set 14 16 0702000000000000" + z16,
        "xu set 14 16 ff03000000000000" + z16,
        "xu set 4 16 1600000000000000" + z16,
    };
    EXPECT_EQ(expected, callsStarting(0, "xu "));
    EXPECT_TRUE(sawCall(0, "vendor 40 02 0000 0000 32 03020908" + std::string(56, '0')));
    EXPECT_TRUE(sawCall(0, "vendor c0 01 0000 0000 81"));

    // The 81-byte answer holds ten rectangles: a count within them reads
    // just those, a larger one is clamped to the ten.
    for (int count : {3, 11, 255}) {
        usb(0, "faces " + std::to_string(count));
        memset(&faces, 0xEE, sizeof(faces));
        EXPECT_EQ(0, GetFD_Position(handle_, &faces));
        const int held = std::min(count, 10);
        EXPECT_EQ(held, faces.num_face) << count;
        for (int k = 0; k < held; ++k) {
            const int base = 100 * (k + 1);
            EXPECT_EQ(base, faces.face_rect[k].left) << count << " " << k;
            EXPECT_EQ(base + 1, faces.face_rect[k].top);
            EXPECT_EQ(base + 2, faces.face_rect[k].right);
            EXPECT_EQ(base + 3, faces.face_rect[k].bottom);
        }
        EXPECT_EQ(0xEEEE, faces.face_rect[held].left) << count;
        EXPECT_EQ(0xEEEE, faces.face_rect[19].bottom) << count;
    }
    usb(0, "faces 0");

    usb(0, "fault next");
    reg = 0xBEEF;
    CaptureStdout();
    EXPECT_EQ(BRG_TRANSFER_FAILED, ReadSensorReg(handle_, 0x3012, &reg));
    EXPECT_EQ("BrgIspCmdSet failed : 0xFFFFFFF7", GetCapturedStdout());
    EXPECT_EQ(0xBEEF, reg);
    usb(0, "clear");
    usb(0, "fault next");
    EXPECT_EQ(BRG_TRANSFER_FAILED, DisableFlashWP(handle_));
    EXPECT_EQ(1u, callsStarting(0, "xu set 14").size());  // the second half is not sent
    usb(0, "fault next");
    CaptureStdout();
    EXPECT_EQ(BRG_TRANSFER_FAILED, RombootReset(handle_));
    EXPECT_EQ("xuProbe failed : 0xFFFFFFF7", GetCapturedStdout());
    EXPECT_EQ(-1, WriteSensorReg(nullptr, 1, 2));
    EXPECT_EQ(-1, DisableFlashWP(nullptr));
    EXPECT_EQ(-1, GetFD_Position(nullptr, &faces));
}

// The loader-then-camera update opens without claiming anything: the
// extension-unit requests go to the device, the video driver stays.
TEST_F(Falcon, CameraUpdatedWhenNoLoaderIsThere) {
    const std::string flash = pattern(64, 2);
    camtest::writeFile("/tmp/work/cam.bin", pattern(64, 1));
    camtest::writeFile("/tmp/work/flash.bin", flash);
    CaptureStdout();
    EXPECT_EQ(0, FalconUpdateFlash("/tmp/work/cam.bin", "/tmp/work/flash.bin", BRG_VID, 0x1234, BRG_VID, BRG_UVC_PID));
    std::string out = GetCapturedStdout();
    for (const char* line :
         {"Try to open miniuvc device PID=0x1234, VID=0x114D\r\n", "No BRG device has been detected.\r\n",
          "Try to open camera device PID=0x858A, VID=0x114D\r\n",
          "OpenBrgDevice claim interface. interface=255 hr=0\r\n", "Update flash successfully.\r\n"})
        EXPECT_TRUE(contains(out, line)) << line << "\n" << out;
    EXPECT_EQ(flash, fwtest::burnedImage(0));
    EXPECT_FALSE(sawCall(0, "claim"));
    EXPECT_EQ("1", fwtest::state(0, "video"));

    CaptureStdout();
    EXPECT_EQ(BRG_TRANSFER_FAILED,
              FalconUpdateFlash("/tmp/work/cam.bin", "/tmp/work/flash.bin", BRG_VID, 0x1234, BRG_VID, 0x5678));
    out = GetCapturedStdout();
    EXPECT_TRUE(contains(out, "Failed to open device. exit.\r\n")) << out;
}

// Loader found: the camera image first, then the flash image on the camera.
TEST_F(Falcon, LoaderThenCamera) {
    const std::string camera = pattern(96, 3), flash = pattern(64, 4);
    camtest::writeFile("/tmp/work/cam.bin", camera);
    camtest::writeFile("/tmp/work/flash.bin", flash);
    CaptureStdout();
    EXPECT_EQ(
        0, FalconUpdateFlash("/tmp/work/cam.bin", "/tmp/work/flash.bin", BRG_VID, BRG_UVC_PID, BRG_VID, BRG_UVC_PID));
    std::string out = GetCapturedStdout();
    EXPECT_TRUE(contains(out, "binary size=96 bytes\r\n")) << out;
    EXPECT_TRUE(contains(out, "binary size=64 bytes\r\n")) << out;
    EXPECT_EQ(std::string::npos, out.find("Try to open camera device"));
    EXPECT_EQ(2u, callsStarting(0, "xu set 4 8 0101030000000000").size());
    EXPECT_EQ(3u + 2u, callsStarting(0, "xu set 3 32").size());
    EXPECT_EQ(flash, fwtest::burnedImage(0));

    // A camera image that cannot be read: reported, the camera not waited for.
    CaptureStdout();
    EXPECT_EQ(BRG_TRANSFER_FAILED, FalconUpdateFlash("/tmp/work/none.bin", "/tmp/work/flash.bin", BRG_VID, BRG_UVC_PID,
                                                     BRG_VID, BRG_UVC_PID));
    out = GetCapturedStdout();
    EXPECT_TRUE(contains(out, "file /tmp/work/none.bin not exist. \r\nCamera firmware download failed.\r\n")) << out;
}

using Romboot = ModuleTest;

TEST_F(Romboot, PackageBurnedThroughTheUpdater) {
    fwtest::boot(0, "romboot");
    usb(0, "clear");
    const std::string loader_code = pattern(1500, 1);
    camtest::writeFile("/tmp/work/fw_loader_v3_8455.bin", fwtest::partFile("VSN_LOAD", 0, loader_code));
    const std::string boot = pattern(5000, 2), firmware = pattern(9000, 3);
    camtest::writeFile("/tmp/work/fw.pkg", fwtest::package(boot, 0x100000, firmware, 0x200000));

    CaptureStdout();
    EXPECT_EQ(0, BRG8453_RombootUpdate_libusb("/tmp/work/fw.pkg"));
    std::string out = GetCapturedStdout();
    for (const char* line :
         {"******** Found a BRG romboot device************* \r\nLoad Updater. \r\nReboot Device. \r\n",
          "Found a updater device, VID=0x114D, PID=0x8200\r\n", "fw_shift=16402\r\n",
          "Write BOOT CODE.\r\nFirmware binary size=5018 bytes,\r\n",
          "Write FIRMWARE.\r\nFirmware binary size=9018 bytes,\r\n"})
        EXPECT_TRUE(contains(out, line)) << line << "\n" << out;
    EXPECT_EQ("updater", fwtest::state(0, "identity"));

    // The loader without its part header, in whole sectors, then the jump.
    EXPECT_TRUE(sawCall(0, "scsi write-control 3"));
    EXPECT_TRUE(sawCall(0, "scsi long-jump"));
    EXPECT_TRUE(sawCall(0, "scsi select 5 0"));
    // Boot code: header block at 0, code at 8192 (first piece flagged).
    std::vector<uint8_t> block(BRG_BURN_HEADER_SIZE);
    BRG_FillBurnHeaderBlock(block.data(), BRG_CHIP_VSN3, reinterpret_cast<const uint8_t*>(boot.data()), 5000, 0x100000,
                            2);
    EXPECT_EQ(std::string(block.begin(), block.end()), readMemory(0, "flash", 0, 8192));
    EXPECT_EQ(boot + std::string(120, '\0'), readMemory(0, "flash", 8192, 5120));
    EXPECT_TRUE(sawCall(0, "scsi device-write 8192 10 1"));
    EXPECT_TRUE(sawCall(0, "scsi device-write 0 16 0"));
    // Firmware at the next 4096-byte boundary: 8192 + 5120 rounded up.
    BRG_FillBurnHeaderBlock(block.data(), BRG_CHIP_VSN3, reinterpret_cast<const uint8_t*>(firmware.data()), 9000,
                            0x200000, 6);
    EXPECT_EQ(std::string(block.begin(), block.end()), readMemory(0, "flash", 16384, 8192));
    EXPECT_EQ(firmware, readMemory(0, "flash", 24576, 9000));
}

TEST_F(Romboot, DynamicDownloadRunsFromMemory) {
    fwtest::boot(0, "romboot");
    usb(0, "clear");
    camtest::writeFile("/tmp/work/fw_loader_v3_8455.bin", pattern(700, 4));
    const std::string image = pattern(3000, 5);
    camtest::writeFile("/tmp/work/ram.bin", image);
    CaptureStdout();
    EXPECT_EQ(0, BRG8453_DynamicFwDownload_libusb("/tmp/work/ram.bin"));
    std::string out = GetCapturedStdout();
    EXPECT_TRUE(contains(out, "Download firmware.\r\n")) << out;
    EXPECT_TRUE(sawCall(0, "scsi write-control 2"));
    EXPECT_TRUE(sawCall(0, "scsi select 128 0"));
    EXPECT_TRUE(sawCall(0, "scsi device-write 0 6 0"));
    EXPECT_EQ(image + std::string(72, '\0'), readMemory(0, "dram", 0, 3072));
    // The jump starts the downloaded camera firmware.
    EXPECT_TRUE(fwtest::waitForIdentity(0, "uvc"));
}

TEST_F(Romboot, NoRombootDeviceIsNothingToDo) {
    CaptureStdout();
    EXPECT_EQ(0, BRG8453_RombootUpdate_libusb("/tmp/work/fw.pkg"));
    EXPECT_EQ(0, BRG8453_DynamicFwDownload_libusb("/tmp/work/ram.bin"));
    std::string out = GetCapturedStdout();
    EXPECT_EQ(2u, camtest::countOf(out, "No BRG device has been detected.\r\n"));
    EXPECT_TRUE(callsStarting(0, "scsi").empty());
}

TEST_F(Romboot, FailedStepsAreReported) {
    fwtest::boot(0, "updater");
    usb(0, "clear");
    ASSERT_NE(nullptr, open(BRG_UPDATER_PID));
    ASSERT_EQ(0, BRGROMAPI_SwitchModePCAM_SF(handle_));
    camtest::writeFile("/tmp/work/VSN_V3BC", fwtest::partFile("VSN_V3BC", 0, pattern(70000, 6)));

    // The code's first piece runs past the end of the flash; the header
    // block behind it would fit, yet the burn fails and writes no header.
    uint32_t address = (4u << 20) - 8192 - 4096;
    const uint32_t start = address;
    CaptureStdout();
    EXPECT_EQ(-1, BRGROMAPI_BurnFw(handle_, "/tmp/work/VSN_V3BC", &address));
    EXPECT_EQ("Firmware binary size=70018 bytes,\r\nFailed to transfer data to device.\r\n", GetCapturedStdout());
    EXPECT_EQ(start, address);
    EXPECT_EQ(std::string(512, '\xFF'), readMemory(0, "flash", start, 512));

    // A transfer that stalls.
    usb(0, "fault bulk 02");
    address = 0;
    CaptureStdout();
    EXPECT_EQ(-1, BRGROMAPI_BurnFw(handle_, "/tmp/work/VSN_V3BC", &address));
    EXPECT_TRUE(contains(GetCapturedStdout(), "Failed to transfer data to device.\r\n"));
    EXPECT_EQ(0u, address);

    // Memory past its end, the control binary outside the ROM-boot state,
    // a storage the updater does not have.
    camtest::writeFile("/tmp/work/ram.bin", pattern(1024, 7));
    ASSERT_EQ(0, BRGROMAPI_SwitchModePCAM_RAM(handle_));
    address = (16u << 20) - 512;
    CaptureStdout();
    EXPECT_EQ(-1, BRGROMAPI_LoadFW2Memory(handle_, "/tmp/work/ram.bin", &address));
    EXPECT_EQ("Failed to transfer data to device.\r\n", GetCapturedStdout());
    EXPECT_EQ((16u << 20) - 512, address);
    const std::string sector(512, 'x');
    EXPECT_EQ(-1, WriteControlBin(handle_, reinterpret_cast<const uint8_t*>(sector.data()), 1));
    uint32_t total = 0;
    EXPECT_EQ(-1, SelectStorage(handle_, BRG_STORAGE_NAND, BRG_USER_AREA, &total));
    EXPECT_EQ(0, SelectStorage(handle_, BRG_STORAGE_PCAM_SF, BRG_USER_AREA, &total));
    EXPECT_EQ((4u << 20) / 512, total);
    EXPECT_TRUE(TestBrgDevice(handle_));
}

// A stalled bulk transfer leaves the endpoint halted on the module; the
// host clears the halt, as a mass-storage host does, and the commands that
// follow work.
TEST_F(Romboot, StalledTransferIsRecovered) {
    fwtest::boot(0, "updater");
    usb(0, "clear");
    ASSERT_NE(nullptr, open(BRG_UPDATER_PID));
    uint32_t total = 0;

    // The answer of the storage selection stalls: the command is over, its
    // failed status is read behind it.
    usb(0, "fault bulk 81");
    EXPECT_EQ(-1, SelectStorage(handle_, BRG_STORAGE_PCAM_SF, BRG_USER_AREA, &total));
    EXPECT_TRUE(sawCall(0, "clear-halt 81"));
    EXPECT_EQ(1u, callsStarting(0, "bulk in 81 13").size());
    EXPECT_EQ(0, SelectStorage(handle_, BRG_STORAGE_PCAM_SF, BRG_USER_AREA, &total));
    EXPECT_EQ((4u << 20) / 512, total);

    // The command wrapper stalls: reported; the next command goes through.
    const std::string sector = pattern(512, 11);
    const auto* data = reinterpret_cast<const uint8_t*>(sector.data());
    usb(0, "clear");
    usb(0, "fault bulk 02");
    EXPECT_EQ(-1, BRG_DeviceWrite(handle_, 0x3000, data, 1, 0));
    EXPECT_TRUE(sawCall(0, "clear-halt 02"));
    EXPECT_EQ(0, BRG_DeviceWrite(handle_, 0x3000, data, 1, 0));
    EXPECT_EQ(sector, readMemory(0, "flash", 0x3000, 512));

    // The status stalls: read again once the halt is cleared.
    const std::string other = pattern(512, 12);
    usb(0, "clear");
    usb(0, "fault bulk 81");
    EXPECT_EQ(0, BRG_DeviceWrite(handle_, 0x3200, reinterpret_cast<const uint8_t*>(other.data()), 1, 0));
    EXPECT_EQ(2u, callsStarting(0, "bulk in 81 13").size());
    EXPECT_EQ(other, readMemory(0, "flash", 0x3200, 512));

    // A whole burn after all of it.
    camtest::writeFile("/tmp/work/VSN_V3BC", fwtest::partFile("VSN_V3BC", 0, pattern(3000, 13)));
    uint32_t address = 0x10000;
    CaptureStdout();
    EXPECT_EQ(1, BRGROMAPI_BurnFw(handle_, "/tmp/work/VSN_V3BC", &address));
    GetCapturedStdout();
    EXPECT_EQ(pattern(3000, 13), readMemory(0, "flash", 0x10000 + 8192, 3000));
    EXPECT_TRUE(TestBrgDevice(handle_));
}

using Scsi = ModuleTest;

TEST_F(Scsi, GenericNodeAnswersTheTestCommand) {
    fwtest::boot(0, "romboot");
    ASSERT_TRUE(camtest::waitFor([] { return camtest::exists("/dev/sg0"); }));
    usb(0, "clear");
    CaptureStdout();
    EXPECT_EQ(0, BRG8453_RombootUpdate("/dev/sg0"));
    EXPECT_EQ(
        "Try device /dev/sg0\r\nTest device /dev/sg0\r\n"
        "Some of the SCSI command's response:0xAA, 0x55, 0x00, 0x00\n"
        "Command duration=1 millisecs, resid=0\n"
        "******** Found a BRG romboot device, /dev/sg0 ************* \r\n",
        GetCapturedStdout());

    // A check condition: the sense bytes, ten to a line, and the statuses.
    usb(0, "fault sg check 5 24 0");
    CaptureStdout();
    EXPECT_EQ(0, BRG8453_RombootUpdate("/dev/sg0"));
    EXPECT_EQ(
        "Try device /dev/sg0\r\nTest device /dev/sg0\r\n"
        "Command sense data: 0x70 0x00 0x05 0x00 0x00 0x00 0x00 0x0a 0x00 0x00 \n"
        "  0x00 0x00 0x24 0x00 0x00 0x00 0x00 0x00 \n"
        "SCSI command status=0x2\ndriver_status=0x8\n",
        GetCapturedStdout());

    usb(0, "fault sg host 7");
    CaptureStdout();
    int fd = ::open("/dev/sg0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(TestBrgDevice(fd));
    EXPECT_EQ("Command sense data: \nhost_status=0x7\n", GetCapturedStdout());

    usb(0, "fault sg errno 5");
    CaptureStderr();
    EXPECT_FALSE(TestBrgDevice(fd));
    EXPECT_EQ("SendScsiCommand: SG_IO ioctl error: Input/output error\n", GetCapturedStderr());

    // Only the bytes the data phase holds are shown.
    uint8_t cb[16] = {0xFA, 0x55, 0x66, 0x01};
    uint8_t two[2] = {0, 0};
    CaptureStdout();
    EXPECT_EQ(0, SendScsiCommand(fd, cb, 16, two, 2, false));
    EXPECT_EQ("Some of the SCSI command's response:0xAA, 0x55\nCommand duration=1 millisecs, resid=0\n",
              GetCapturedStdout());
    CaptureStdout();
    EXPECT_EQ(0, SendScsiCommand(fd, cb, 16, nullptr, 0, false));
    EXPECT_EQ("Some of the SCSI command's response:\nCommand duration=1 millisecs, resid=0\n", GetCapturedStdout());
    ::close(fd);

    CaptureStdout();
    EXPECT_EQ(-1, BRG8453_RombootUpdate("/dev/sg9"));
    EXPECT_EQ("Try device /dev/sg9\r\nFailed to open device.\r\n", GetCapturedStdout());
}

using DeviceLog = ModuleTest;

size_t fileSize(const char* name) {
    struct stat st;
    return stat(name, &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

std::string letters(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

TEST_F(DeviceLog, MessagesSortedIntoTheirFilesThenStopped) {
    ASSERT_NE(nullptr, open(BRG_UVC_PID));
    mkdir("/tmp/work/log", 0755);
    ASSERT_EQ(0, chdir("/tmp/work/log"));
    usb(0, "log 0 hello camera");
    usb(0, "log 2 size 1500");   // three blocks
    usb(0, "log 1 size 496");    // one full block and its zero-length end
    usb(0, "log 3 size 40000");  // more than the reader's buffer
    // A header length below the header: dropped.
    usb(0, "log raw 5501040000000000030003000000000062616421");
    usb(0, "log 9 unknown");
    usb(0, "log 3 size 10");

    CDeviceLogThread thread(handle_);
    CaptureStdout();
    thread.Start("devicelog");
    EXPECT_TRUE(camtest::waitFor([] { return fwtest::state(0, "log") == "0"; }));
    EXPECT_TRUE(camtest::waitFor([] { return fileSize("FlashMsg.dat") == 32768 - 16 + 10; }));
    EXPECT_TRUE(sawCall(0, "vendor 40 85 0000 0000 0"));
    EXPECT_EQ("1", fwtest::state(0, "logging"));

    // Waiting on an empty endpoint; the stop is seen within the read's
    // one-second time-out and the log is stopped on the module.
    auto t0 = Clock::now();
    thread.Stop();
    const long stop_ms = msSince(t0);
    std::string out = GetCapturedStdout();
    EXPECT_LT(stop_ms, 1500);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_TRUE(sawCall(0, "vendor 40 86 0000 0000 0"));
    EXPECT_EQ("0", fwtest::state(0, "logging"));

    EXPECT_EQ("hello camera", camtest::readFile("FwMeg.txt"));
    EXPECT_EQ(letters(1500), camtest::readFile("DramMsg.dat"));
    EXPECT_EQ(letters(496), camtest::readFile("AudioMsg.dat"));
    EXPECT_EQ(letters(40000).substr(0, 32768 - 16) + letters(10), camtest::readFile("FlashMsg.dat"));
    EXPECT_EQ("hello camera!!!!!!!!! DeviceMessageLog:: Unknown Message ID !!!!!!!!!.\r\n", out);
}

}  // namespace
