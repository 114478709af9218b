// The records the burner writes and the module reads: header table, burn
// header block, CRC-16, and the fixed layouts of the USB records.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "BrgXu.h"
#include "RombootApi.h"

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
