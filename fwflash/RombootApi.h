// The chip maker's SCSI and ROM-boot update paths: the vendor SCSI command
// set over the SCSI generic driver, and the same commands in the USB
// mass-storage bulk-only transport for a module in its ROM-boot state; the
// firmware header table, the burn header block and the CRC-16 the burner
// writes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "BrgXu.h"

static_assert(sizeof(BRG_STORAGE_INDEX_TABLE1) == 512, "the header table is 512 bytes");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "records are stored in host order");

// Chip ids: "VSN2" and "VSN3" in memory order.
constexpr uint32_t BRG_CHIP_VSN2 = 0x324E5356;
constexpr uint32_t BRG_CHIP_VSN3 = 0x334E5356;

// The module in its ROM-boot state, and the updater it loads.
constexpr uint16_t BRG_ROMBOOT_PID = 0x8A03;
constexpr uint16_t BRG_UPDATER_PID = 0x8200;

constexpr size_t BRG_BURN_HEADER_SIZE = 8192;
constexpr size_t BRG_PART_HEADER_SIZE = 18;
constexpr size_t BRG_PACKAGE_HEADER_SIZE = 18;

void BRG_FillBrgHeaderTable(uint32_t chip_id, BRG_STORAGE_INDEX_TABLE1* header, uint32_t code_size,
                            uint32_t dst_address, uint32_t start_block);
// CRC-16/MCRF4XX.
uint16_t BrgGetCrc16(const uint8_t* data, size_t length);
// The 8192-byte block written in front of burned code: the header table at
// 0, the code's CRC-16 at 4096, zeros elsewhere.
void BRG_FillBurnHeaderBlock(uint8_t* block, uint32_t chip_id, const uint8_t* code, uint32_t code_size,
                             uint32_t dst_address, uint32_t start_block);

// SCSI generic path.
int SendScsiCommand(int fd, uint8_t* command, uint8_t command_length, uint8_t* data, uint32_t data_length,
                    bool host_to_device);
bool TestBrgDevice(int fd);
int BRG8453_RombootUpdate(const char* device_path);

// Bulk-only transport: the status byte of the command (0 passed), or -1
// when a transfer failed.
int BulkonlyTransfer(BrgDevHandle* handle, const uint8_t* command, uint8_t* data, uint32_t data_length,
                     bool device_to_host);
int BRG_DeviceWrite(BrgDevHandle* handle, uint32_t address, const uint8_t* data, uint16_t sectors, uint8_t flags);
int WriteControlBin(BrgDevHandle* handle, const uint8_t* data, uint32_t sectors);
int SendLongjumpCmd(BrgDevHandle* handle);
int SelectStorage(BrgDevHandle* handle, uint8_t storage_type, uint8_t boot_part, uint32_t* total_sectors);
bool TestBrgDevice(BrgDevHandle* handle);

int BRGROMAPI_LoadUpdater(BrgDevHandle* handle, const char* loader_file);
int BRGROMAPI_SwitchModePCAM_SF(BrgDevHandle* handle);
int BRGROMAPI_SwitchModePCAM_RAM(BrgDevHandle* handle);
int BRGROMAPI_LongJump(BrgDevHandle* handle);
int BRGROMAPI_LoadFW2Memory(BrgDevHandle* handle, const char* file, uint32_t* address);
int BRGROMAPI_BurnFw(BrgDevHandle* handle, const char* part_file, uint32_t* flash_address);
int BRGROMAPI_DispackBrgPcCamFw(const char* package, int* part_count);

int BRG8453_RombootUpdate_libusb(const char* package);
int BRG8453_DynamicFwDownload_libusb(const char* image);
