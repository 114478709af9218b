// The records the burner writes and the module reads: header table, burn
// header block, CRC-16, and the fixed layouts of the USB records.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "BrgXu.h"
#include "RombootApi.h"
#include "fw_package.h"
#include "support/camtest.h"

namespace {

uint32_t le32At(const uint8_t* p, size_t offset) { return BrgGetLe32(p + offset); }

bool zeroBetween(const uint8_t* p, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (p[i] != 0) return false;
    return true;
}

TEST(HeaderTable, FieldsAtTheirOffsetsForEachChip) {
    BRG_STORAGE_INDEX_TABLE1 table;
    memset(&table, 0xEE, sizeof(table));
    BRG_FillBrgHeaderTable(0x334E5356, &table, 4097, 0x1000000, 7);
    const auto* p = reinterpret_cast<const uint8_t*>(&table);
    EXPECT_EQ(0, memcmp(p, "VSN3", 4));
    EXPECT_EQ(0x40000001u, le32At(p, 4));
    EXPECT_EQ(12u, le32At(p, 8));
    EXPECT_EQ(4u, le32At(p, 12));
    EXPECT_EQ(7u, le32At(p, 16));
    EXPECT_EQ(4097u, le32At(p, 20));
    EXPECT_EQ(0x1000000u, le32At(p, 24));
    EXPECT_EQ(1u, le32At(p, 28));
    EXPECT_TRUE(zeroBetween(p, 32, 508));  // storage parts and dummy words
    EXPECT_EQ(0x334E5356u, le32At(p, 508));

    BRG_FillBrgHeaderTable(0x324E5356, &table, 4096, 0, 2);
    EXPECT_EQ(0, memcmp(p, "VSN2", 4));
    EXPECT_EQ(1u, le32At(p, 4));
    EXPECT_EQ(3u, le32At(p, 12));  // one whole block and the two header blocks
    EXPECT_EQ(0x324E5356u, le32At(p, 508));

    BRG_FillBrgHeaderTable(0x12345678, &table, 4097, 0x20, 3);
    EXPECT_EQ(0u, le32At(p, 4));
    EXPECT_EQ(12u, le32At(p, 8));
    EXPECT_EQ(0u, le32At(p, 12));
    EXPECT_EQ(4097u, le32At(p, 20));
    EXPECT_EQ(1u, le32At(p, 28));
    EXPECT_EQ(0x12345678u, le32At(p, 508));
}

TEST(Crc16, Mcrf4xxCheckValues) {
    const char* digits = "123456789";
    EXPECT_EQ(0x6F91, BrgGetCrc16(reinterpret_cast<const uint8_t*>(digits), 9));
    EXPECT_EQ(0xFFFF, BrgGetCrc16(nullptr, 0));
}

TEST(BurnHeaderBlock, TableThenCrcAtFourKilobytes) {
    std::vector<uint8_t> code(5000);
    for (size_t i = 0; i < code.size(); ++i) code[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> block(BRG_BURN_HEADER_SIZE, 0xAB);
    BRG_FillBurnHeaderBlock(block.data(), BRG_CHIP_VSN3, code.data(), 5000, 0x800, 4);

    BRG_STORAGE_INDEX_TABLE1 table;
    BRG_FillBrgHeaderTable(BRG_CHIP_VSN3, &table, 5000, 0x800, 4);
    EXPECT_EQ(0, memcmp(block.data(), &table, sizeof(table)));
    EXPECT_EQ(BrgGetCrc16(code.data(), code.size()), BrgGetLe16(block.data() + 4096));
    EXPECT_TRUE(zeroBetween(block.data(), 512, 4096));
    EXPECT_TRUE(zeroBetween(block.data(), 4098, BRG_BURN_HEADER_SIZE));
}

TEST(UsbRecords, FixedLayouts) {
    // The same bytes on the 32-bit board and here.
    EXPECT_EQ(2u, offsetof(log_header_t, wHeaderLen));
    EXPECT_EQ(4u, offsetof(log_header_t, dwPacketID));
    EXPECT_EQ(8u, offsetof(log_header_t, wMessageType));
    EXPECT_EQ(10u, offsetof(log_header_t, wMessagLen));
    EXPECT_EQ(12u, offsetof(log_header_t, wCPUUsage));
    EXPECT_EQ(2u, offsetof(FacePositionList, face_rect));
    EXPECT_EQ(2u, offsetof(FACE_CMD, d));
    EXPECT_EQ(16u, offsetof(BRG_STORAGE_INDEX_TABLE1, bt));
    EXPECT_EQ(32u, offsetof(BRG_STORAGE_INDEX_TABLE1, it));
    EXPECT_EQ(496u, offsetof(BRG_STORAGE_INDEX_TABLE1, dummy));
    EXPECT_EQ(508u, offsetof(BRG_STORAGE_INDEX_TABLE1, ulTail));
}

}  // namespace

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class Package : public testing::Test {
protected:
    void SetUp() override {
        mkdir("/tmp/pkg", 0755);
        ASSERT_EQ(0, chdir("/tmp/pkg"));
        unlink("VSN_V3BC");
        unlink("VSN_V3FW");
    }
    int unpack(const std::string& bytes, int& parts) {
        camtest::writeFile("/tmp/pkg/fw.pkg", bytes);
        parts = -1;
        CaptureStdout();
        int r = BRGROMAPI_DispackBrgPcCamFw("/tmp/pkg/fw.pkg", &parts);
        out_ = GetCapturedStdout();
        return r;
    }
    std::string out_;
};

TEST_F(Package, TwoPartsUnpackedIntoPartFiles) {
    const std::string boot = fwtest::pattern(5000, 1), fw = fwtest::pattern(9000, 2);
    int parts = 0;
    ASSERT_EQ(0, unpack(fwtest::package(boot, 0x100000, fw, 0x200000), parts)) << out_;
    EXPECT_EQ(2, parts);
    // 18 + round_up(5000 + 8192, 4096)
    EXPECT_EQ("fw_shift=16402\r\n", out_);
    EXPECT_EQ(fwtest::partFile("VSN_V3BC", 0x100000, boot), camtest::readFile("VSN_V3BC"));
    EXPECT_EQ(fwtest::partFile("VSN_V3FW", 0x200000, fw), camtest::readFile("VSN_V3FW"));
}

TEST_F(Package, SecondPartOnlyWhenInsideThePackage) {
    const std::string boot = fwtest::pattern(4096, 3);
    int parts = 0;
    // Ends right where a second part would start: the boot code only.
    std::string pkg = fwtest::package(boot, 0x10, "", 0);
    pkg.resize(18 + 4096 + 8192, '\0');
    ASSERT_EQ(0, unpack(pkg, parts)) << out_;
    EXPECT_EQ(1, parts);
    EXPECT_EQ("fw_shift=12306\r\n", out_);
    EXPECT_EQ(fwtest::partFile("VSN_V3BC", 0x10, boot), camtest::readFile("VSN_V3BC"));
    EXPECT_FALSE(camtest::exists("VSN_V3FW"));
}

TEST_F(Package, SizesCheckedAgainstTheFile) {
    int parts = 0;
    const std::string boot = fwtest::pattern(3000, 4), fw = fwtest::pattern(3000, 5);
    std::string pkg = fwtest::package(boot, 0, fw, 0);

    // The first part's code size runs past the end.
    EXPECT_EQ(-1, unpack(fwtest::package(boot, 0, "", 0).substr(0, 18 + 8192 + 2999), parts));
    EXPECT_EQ("Firmware package /tmp/pkg/fw.pkg is damaged.\r\n", out_);
    EXPECT_FALSE(camtest::exists("VSN_V3BC"));

    // Shorter than one header table.
    EXPECT_EQ(-1, unpack(pkg.substr(0, 100), parts));
    EXPECT_EQ("Firmware package /tmp/pkg/fw.pkg is damaged.\r\n", out_);

    // The second part is cut off inside its code.
    EXPECT_EQ(-1, unpack(pkg.substr(0, pkg.size() - 1), parts));
    EXPECT_EQ("fw_shift=12306\r\nFirmware package /tmp/pkg/fw.pkg is damaged.\r\n", out_);
    EXPECT_FALSE(camtest::exists("VSN_V3FW"));

    // A code size near 2^32 does not wrap around the checks.
    std::string huge = pkg;
    huge[18 + 20 + 3] = static_cast<char>(0xFF);
    huge[18 + 20 + 2] = static_cast<char>(0xFF);
    EXPECT_EQ(-1, unpack(huge, parts));

    camtest::removeFile("/tmp/pkg/fw.pkg");
    CaptureStdout();
    EXPECT_EQ(-1, BRGROMAPI_DispackBrgPcCamFw("/tmp/pkg/fw.pkg", &parts));
    EXPECT_EQ("Firmware package /tmp/pkg/fw.pkg does not exist.\r\n", GetCapturedStdout());
}

// Part files and loaders are checked before anything is sent.
TEST_F(Package, BurnerAndLoaderCheckTheirHeaders) {
    uint32_t address = 0;
    std::string part = fwtest::partFile("VSN_V3BC", 0, fwtest::pattern(600, 6));
    camtest::writeFile("VSN_V3BC", part.substr(0, part.size() - 1));
    CaptureStdout();
    EXPECT_EQ(-1, BRGROMAPI_BurnFw(nullptr, "VSN_V3BC", &address));
    EXPECT_EQ("Firmware binary size=617 bytes,\r\nfile VSN_V3BC is damaged. \r\n", GetCapturedStdout());

    camtest::writeFile("VSN_V3BC", part.substr(0, 12));
    CaptureStdout();
    EXPECT_EQ(-1, BRGROMAPI_BurnFw(nullptr, "VSN_V3BC", &address));
    EXPECT_EQ("Firmware binary size=12 bytes,\r\nfile VSN_V3BC is damaged. \r\n", GetCapturedStdout());
    EXPECT_EQ(0u, address);

    // A loader with a part tag but nothing behind its header.
    camtest::writeFile("loader.bin", part.substr(0, 18));
    CaptureStdout();
    EXPECT_EQ(-1, BRGROMAPI_LoadUpdater(nullptr, "loader.bin"));
    EXPECT_EQ("file loader.bin is damaged. \r\n", GetCapturedStdout());
}

}  // namespace
