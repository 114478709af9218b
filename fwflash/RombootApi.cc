#include "RombootApi.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr uint8_t kBulkOutEp = 0x02;
constexpr uint8_t kBulkInEp = 0x81;
constexpr unsigned int kBulkTimeout = 1000;
constexpr uint32_t kCbwTag = 0x0000005D;
constexpr size_t kCbwSize = 31;
constexpr size_t kCswSize = 13;
constexpr size_t kCbSize = 16;
constexpr uint32_t kSector = 512;
constexpr uint32_t kControlBinSectors = 64;
constexpr uint32_t kDeviceWritePiece = 65536;
constexpr uint32_t kBlock = 4096;

// A package's parts each start with a header table; its boot entry gives
// the part's code size and download address.
constexpr size_t kPartCodeSizeAt = offsetof(BRG_STORAGE_INDEX_TABLE1, bt) + offsetof(BRG_BOOT_TABLE_ENTRY, ulCodeSize);
constexpr size_t kPartDstAddressAt =
    offsetof(BRG_STORAGE_INDEX_TABLE1, bt) + offsetof(BRG_BOOT_TABLE_ENTRY, ulDownloadDstAddress);

// A part file's header: the 8-character name, 01 00, then these two.
constexpr size_t kPartFileDstAddressAt = 10;
constexpr size_t kPartFileLengthAt = 14;

const char* kLoaderFile = "fw_loader_v3_8455.bin";
const char* kBootPart = "VSN_V3BC";
const char* kFirmwarePart = "VSN_V3FW";

uint32_t roundUp(uint32_t value, uint32_t unit) { return (value + unit - 1) / unit * unit; }

void putBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void putBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// A vendor command block: FA 55 then the two command bytes.
void vendorCommand(uint8_t* cb, uint8_t group, uint8_t command) {
    memset(cb, 0, kCbSize);
    cb[0] = 0xFA;
    cb[1] = 0x55;
    cb[2] = group;
    cb[3] = command;
}

// One bulk transfer. An endpoint that stalls stays halted until the host
// clears it; that is done here at once, as a mass-storage host does, so the
// caller can go on to the status or report without the next command failing.
int bulk(BrgDevHandle* handle, uint8_t endpoint, uint8_t* data, int length, int* done) {
    *done = 0;
    int r = libusb_bulk_transfer(handle->handle, endpoint, data, length, done, kBulkTimeout);
    if (r == LIBUSB_ERROR_PIPE) libusb_clear_halt(handle->handle, endpoint);
    return r;
}

// Writes one part file: the 8-character name, 01 00, destination address,
// code length, then the code.
bool writePartFile(const char* name, uint32_t dst_address, const uint8_t* code, uint32_t length) {
    uint8_t header[BRG_PART_HEADER_SIZE];
    memcpy(header, name, 8);
    header[8] = 0x01;
    header[9] = 0x00;
    BrgPutLe32(header + kPartFileDstAddressAt, dst_address);
    BrgPutLe32(header + kPartFileLengthAt, length);
    FILE* f = fopen(name, "wb");
    if (!f) return false;
    bool ok = fwrite(header, 1, sizeof(header), f) == sizeof(header) && fwrite(code, 1, length, f) == length;
    return fclose(f) == 0 && ok;
}

// Writes count bytes (a multiple of 512) with device-write commands in
// pieces of at most 64 KiB from address on; the first piece carries
// first_flags, the others 0.
bool deviceWritePieces(BrgDevHandle* handle, uint32_t address, const uint8_t* data, uint32_t count,
                       uint8_t first_flags) {
    uint8_t flags = first_flags;
    for (uint32_t done = 0; done < count;) {
        const uint32_t piece = std::min(kDeviceWritePiece, count - done);
        if (BRG_DeviceWrite(handle, address + done, data + done, static_cast<uint16_t>(piece / kSector), flags) != 0)
            return false;
        flags = 0;
        done += piece;
    }
    return true;
}

}  // namespace

void BRG_FillBrgHeaderTable(uint32_t chip_id, BRG_STORAGE_INDEX_TABLE1* header, uint32_t code_size,
                            uint32_t dst_address, uint32_t start_block) {
    memset(header, 0, sizeof(*header));
    const bool known = chip_id == BRG_CHIP_VSN2 || chip_id == BRG_CHIP_VSN3;
    header->ulHeader = chip_id;
    header->ulFlag = chip_id == BRG_CHIP_VSN2 ? 1 : chip_id == BRG_CHIP_VSN3 ? 0x40000001 : 0;
    header->ulAlignedBlockSizeShift = 12;
    header->ulTotalSectorsInLayer = known ? (code_size + kBlock - 1) / kBlock + 2 : 0;
    header->bt.ulStartBlock = start_block;
    header->bt.ulCodeSize = code_size;
    header->bt.ulDownloadDstAddress = dst_address;
    header->bt.ulFlag = 1;
    header->ulTail = chip_id;
}

uint16_t BrgGetCrc16(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return crc;
}

void BRG_FillBurnHeaderBlock(uint8_t* block, uint32_t chip_id, const uint8_t* code, uint32_t code_size,
                             uint32_t dst_address, uint32_t start_block) {
    memset(block, 0, BRG_BURN_HEADER_SIZE);
    BRG_STORAGE_INDEX_TABLE1 table;
    BRG_FillBrgHeaderTable(chip_id, &table, code_size, dst_address, start_block);
    memcpy(block, &table, sizeof(table));
    BrgPutLe16(block + 4096, BrgGetCrc16(code, code_size));
}

int SendScsiCommand(int fd, uint8_t* command, uint8_t command_length, uint8_t* data, uint32_t data_length,
                    bool host_to_device) {
    uint8_t sense[32] = {0};
    sg_io_hdr_t io;
    memset(&io, 0, sizeof(io));
    io.interface_id = 'S';
    io.cmd_len = command_length;
    io.mx_sb_len = sizeof(sense);
    io.dxfer_direction = host_to_device ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
    io.dxfer_len = data_length;
    io.dxferp = data;
    io.cmdp = command;
    io.sbp = sense;
    io.timeout = 2000;
    if (ioctl(fd, SG_IO, &io) < 0) {
        perror("SendScsiCommand: SG_IO ioctl error");
        return -1;
    }
    if ((io.info & SG_INFO_OK_MASK) == SG_INFO_OK) {
        printf("Some of the SCSI command's response:");
        // Only the bytes the data phase holds.
        const uint32_t shown = data ? std::min<uint32_t>(4, data_length) : 0;
        for (uint32_t i = 0; i < shown; ++i) printf(i ? ", 0x%.2X" : "0x%.2X", data[i]);
        printf("\n");
        printf("Command duration=%u millisecs, resid=%d\n", io.duration, io.resid);
        return 0;
    }
    printf("Command sense data: ");
    const unsigned sense_len = std::min<unsigned>(io.sb_len_wr, sizeof(sense));
    for (unsigned i = 0; i < sense_len; ++i) {
        if (i > 0 && i % 10 == 0) printf("\n  ");
        printf("0x%02x ", sense[i]);
    }
    printf("\n");
    if (io.status) printf("SCSI command status=0x%x\n", io.status);
    if (io.host_status) printf("host_status=0x%x\n", io.host_status);
    if (io.driver_status) printf("driver_status=0x%x\n", io.driver_status);
    return -1;
}

bool TestBrgDevice(int fd) {
    uint8_t cb[kCbSize];
    vendorCommand(cb, 0x66, 0x01);
    uint8_t answer[16] = {0};
    return SendScsiCommand(fd, cb, sizeof(cb), answer, sizeof(answer), false) == 0 && answer[0] == 0xAA &&
           answer[1] == 0x55;
}

int BRG8453_RombootUpdate(const char* device_path) {
    printf("Try device %s\r\n", device_path);
    int fd = open(device_path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        puts("Failed to open device.\r");
        return -1;
    }
    printf("Test device %s\r\n", device_path);
    if (TestBrgDevice(fd)) printf("******** Found a BRG romboot device, %s ************* \r\n", device_path);
    close(fd);
    return 0;
}

int BulkonlyTransfer(BrgDevHandle* handle, const uint8_t* command, uint8_t* data, uint32_t data_length,
                     bool device_to_host) {
    if (!handle) return -1;
    uint8_t cbw[kCbwSize] = {'U', 'S', 'B', 'C'};
    BrgPutLe32(cbw + 4, kCbwTag);
    BrgPutLe32(cbw + 8, data_length);
    cbw[12] = device_to_host ? 0x80 : 0x00;
    cbw[13] = 0;
    cbw[14] = kCbSize;
    memcpy(cbw + 15, command, kCbSize);
    int done = 0;
    if (bulk(handle, kBulkOutEp, cbw, sizeof(cbw), &done) < 0 || done != static_cast<int>(kCbwSize)) return -1;
    bool data_stalled = false;
    if (data_length > 0) {
        int r = bulk(handle, device_to_host ? kBulkInEp : kBulkOutEp, data, static_cast<int>(data_length), &done);
        // A stalled data phase is ended by the module: its status follows.
        data_stalled = r == LIBUSB_ERROR_PIPE;
        // An answer may be shorter than asked; what goes out must go whole.
        if (!data_stalled && (r < 0 || (!device_to_host && done != static_cast<int>(data_length)))) return -1;
    }
    uint8_t csw[kCswSize] = {0};
    int r = bulk(handle, kBulkInEp, csw, sizeof(csw), &done);
    // A stalled status is read once more after the halt is cleared.
    if (r == LIBUSB_ERROR_PIPE) r = bulk(handle, kBulkInEp, csw, sizeof(csw), &done);
    if (r < 0 || done != static_cast<int>(kCswSize)) return -1;
    // Data that did not all go out is no success, whatever the status says.
    if (data_stalled && !device_to_host && csw[12] == 0) return -1;
    return csw[12];
}

int BRG_DeviceWrite(BrgDevHandle* handle, uint32_t address, const uint8_t* data, uint16_t sectors, uint8_t flags) {
    uint8_t cb[kCbSize];
    vendorCommand(cb, 0x66, 0x08);
    putBe32(cb + 4, address);
    putBe16(cb + 8, sectors);
    cb[10] = flags;
    return BulkonlyTransfer(handle, cb, const_cast<uint8_t*>(data), sectors * kSector, false) == 0 ? 0 : -1;
}

int WriteControlBin(BrgDevHandle* handle, const uint8_t* data, uint32_t sectors) {
    for (uint32_t done = 0; done < sectors;) {
        const uint32_t count = std::min(kControlBinSectors, sectors - done);
        uint8_t cb[kCbSize];
        vendorCommand(cb, 0x66, 0x02);
        putBe16(cb + 4, static_cast<uint16_t>(count));
        if (BulkonlyTransfer(handle, cb, const_cast<uint8_t*>(data) + done * kSector, count * kSector, false) != 0)
            return -1;
        done += count;
    }
    return 1;
}

int SendLongjumpCmd(BrgDevHandle* handle) {
    uint8_t cb[kCbSize];
    vendorCommand(cb, 0x66, 0x03);
    return BulkonlyTransfer(handle, cb, nullptr, 0, false) == 0 ? 0 : -1;
}

int SelectStorage(BrgDevHandle* handle, uint8_t storage_type, uint8_t boot_part, uint32_t* total_sectors) {
    uint8_t cb[kCbSize];
    vendorCommand(cb, 0x66, 0x06);
    cb[4] = storage_type;
    cb[5] = boot_part;
    uint8_t answer[4] = {0};
    if (BulkonlyTransfer(handle, cb, answer, sizeof(answer), true) != 0) return -1;
    if (total_sectors) *total_sectors = BrgGetLe32(answer);
    return 0;
}

bool TestBrgDevice(BrgDevHandle* handle) {
    uint8_t cb[kCbSize];
    vendorCommand(cb, 0x55, 0x01);
    uint8_t answer[16] = {0};
    return BulkonlyTransfer(handle, cb, answer, sizeof(answer), true) == 0 && answer[0] == 0xAA && answer[1] == 0x55;
}

int BRGROMAPI_LoadUpdater(BrgDevHandle* handle, const char* loader_file) {
    std::vector<uint8_t> file;
    uint32_t length = 0;
    if (!ReadFirmwareImage(loader_file, file, length, kSector)) return -1;
    uint32_t skip = 0;
    if (length >= 10 && file[8] == 0x01 && file[9] == 0x00) {
        // A part file: its 18-byte header goes, the code behind it is loaded.
        if (length <= BRG_PART_HEADER_SIZE) {
            printf("file %s is damaged. \r\n", loader_file);
            return -1;
        }
        skip = BRG_PART_HEADER_SIZE;
    }
    const uint32_t sectors = (length - skip + kSector - 1) / kSector;
    if (WriteControlBin(handle, file.data() + skip, sectors) != 1 || SendLongjumpCmd(handle) != 0) {
        puts("Failed to transfer data to device.\r");
        return -1;
    }
    return 0;
}

namespace {

int switchMode(BrgDevHandle* handle, uint8_t storage_type, const char* failure) {
    uint32_t total = 0;
    if (SelectStorage(handle, storage_type, BRG_USER_AREA, &total) != 0) {
        puts(failure);
        return -1;
    }
    return 0;
}

}  // namespace

int BRGROMAPI_SwitchModePCAM_SF(BrgDevHandle* handle) {
    return switchMode(handle, BRG_STORAGE_PCAM_SF, "Failed to select storage type -> BRG_STORAGE_PCAM_SF.\r");
}

int BRGROMAPI_SwitchModePCAM_RAM(BrgDevHandle* handle) {
    return switchMode(handle, BRG_STORAGE_PCAM_DRAM, "Failed to select storage type -> BRG_STORAGE_PCAM_RAM.\r");
}

int BRGROMAPI_LongJump(BrgDevHandle* handle) { return SendLongjumpCmd(handle); }

int BRGROMAPI_LoadFW2Memory(BrgDevHandle* handle, const char* file, uint32_t* address) {
    std::vector<uint8_t> image;
    uint32_t length = 0;
    if (!ReadFirmwareImage(file, image, length, kSector)) return -1;
    const uint32_t padded = roundUp(length, kSector);
    if (!deviceWritePieces(handle, *address, image.data(), padded, 0)) {
        puts("Failed to transfer data to device.\r");
        return -1;
    }
    *address += padded;
    return 1;
}

int BRGROMAPI_BurnFw(BrgDevHandle* handle, const char* part_file, uint32_t* flash_address) {
    std::vector<uint8_t> file;
    uint32_t length = 0;
    if (!ReadFirmwareImage(part_file, file, length, kSector, "Firmware binary size=%d bytes,\r\n")) return -1;
    if (length < BRG_PART_HEADER_SIZE || BrgGetLe32(file.data() + kPartFileLengthAt) > length - BRG_PART_HEADER_SIZE) {
        printf("file %s is damaged. \r\n", part_file);
        return -1;
    }
    const uint32_t dst_address = BrgGetLe32(file.data() + kPartFileDstAddressAt);
    const uint32_t code_length = BrgGetLe32(file.data() + kPartFileLengthAt);
    const uint8_t* code = file.data() + BRG_PART_HEADER_SIZE;
    const uint32_t start = *flash_address;
    uint8_t block[BRG_BURN_HEADER_SIZE];
    BRG_FillBurnHeaderBlock(block, BRG_CHIP_VSN3, code, code_length, dst_address, (start >> 12) + 2);
    // The code is followed by at least 512 zero bytes in the buffer.
    const uint32_t padded = roundUp(code_length, kSector);
    if (!deviceWritePieces(handle, start + BRG_BURN_HEADER_SIZE, code, padded, 1) ||
        !deviceWritePieces(handle, start, block, sizeof(block), 0)) {
        puts("Failed to transfer data to device.\r");
        return -1;
    }
    *flash_address = roundUp(start + BRG_BURN_HEADER_SIZE + padded, kBlock);
    return 1;
}

int BRGROMAPI_DispackBrgPcCamFw(const char* package, int* part_count) {
    if (access(package, F_OK) != 0) {
        printf("Firmware package %s does not exist.\r\n", package);
        return -1;
    }
    std::vector<uint8_t> file;
    uint32_t length = 0;
    if (!ReadFirmwareImage(package, file, length, 0)) return -1;
    // Writes the part at offset into its part file: its header table, then
    // its code 8192 bytes in; the code size comes from the table and must
    // lie inside the package.
    uint32_t code_size = 0;
    auto unpackPart = [&](uint32_t offset, const char* name) {
        if (static_cast<uint64_t>(offset) + sizeof(BRG_STORAGE_INDEX_TABLE1) > length ||
            static_cast<uint64_t>(offset) + BRG_BURN_HEADER_SIZE + BrgGetLe32(file.data() + offset + kPartCodeSizeAt) >
                length) {
            printf("Firmware package %s is damaged.\r\n", package);
            return false;
        }
        code_size = BrgGetLe32(file.data() + offset + kPartCodeSizeAt);
        if (!writePartFile(name, BrgGetLe32(file.data() + offset + kPartDstAddressAt),
                           file.data() + offset + BRG_BURN_HEADER_SIZE, code_size)) {
            printf("Failed to write %s.\r\n", name);
            return false;
        }
        return true;
    };
    const uint32_t first = BRG_PACKAGE_HEADER_SIZE;
    if (!unpackPart(first, kBootPart)) return -1;
    const uint64_t fw_shift =
        first + (static_cast<uint64_t>(code_size) + BRG_BURN_HEADER_SIZE + kBlock - 1) / kBlock * kBlock;
    printf("fw_shift=%d\r\n", static_cast<int>(fw_shift));
    int count = 1;
    if (fw_shift < length) {
        if (!unpackPart(static_cast<uint32_t>(fw_shift), kFirmwarePart)) return -1;
        count = 2;
    }
    if (part_count) *part_count = count;
    return 0;
}

namespace {

// The loader stage of both ROM-boot paths: the ROM-boot device gets the
// updater and jumps into it; the updater comes back on the bus. Null with
// result 0 when no ROM-boot device is there, -1 on a failure.
BrgDevHandle* startUpdater(int& result) {
    result = 0;
    BrgDevHandle* handle = OpenBrgDevice(BRG_VID, BRG_ROMBOOT_PID, 0);
    if (!handle) return nullptr;
    result = -1;
    if (!TestBrgDevice(handle)) {
        CloseBrgDevice(handle);
        return nullptr;
    }
    puts("******** Found a BRG romboot device************* \r");
    puts("Load Updater. \r");
    puts("Reboot Device. \r");
    int loaded = BRGROMAPI_LoadUpdater(handle, kLoaderFile);
    CloseBrgDevice(handle);
    if (loaded != 0) return nullptr;
    sleep(2);
    handle = nullptr;
    for (int i = 0; i < 10 && !handle; ++i) {
        handle = OpenBrgDevice(BRG_VID, BRG_UPDATER_PID, 0);
        if (!handle && i < 9) sleep(1);
    }
    if (!handle) {
        puts("Reboot device timeout. Exit.\r");
        return nullptr;
    }
    printf("Found a updater device, VID=0x%X, PID=0x%X\r\n", BRG_VID, BRG_UPDATER_PID);
    return handle;
}

}  // namespace

int BRG8453_RombootUpdate_libusb(const char* package) {
    int result = 0;
    BrgDevHandle* handle = startUpdater(result);
    if (!handle) return result;
    int parts = 0;
    uint32_t flash_address = 0;
    bool ok = BRGROMAPI_DispackBrgPcCamFw(package, &parts) == 0 && BRGROMAPI_SwitchModePCAM_SF(handle) == 0;
    if (ok) {
        puts("Write BOOT CODE.\r");
        ok = BRGROMAPI_BurnFw(handle, kBootPart, &flash_address) == 1;
    }
    if (ok && parts == 2) {
        puts("Write FIRMWARE.\r");
        ok = BRGROMAPI_BurnFw(handle, kFirmwarePart, &flash_address) == 1;
    }
    CloseBrgDevice(handle);
    return ok ? 0 : -1;
}

int BRG8453_DynamicFwDownload_libusb(const char* image) {
    int result = 0;
    BrgDevHandle* handle = startUpdater(result);
    if (!handle) return result;
    bool ok = BRGROMAPI_SwitchModePCAM_RAM(handle) == 0;
    if (ok) {
        puts("Download firmware.\r");
        uint32_t address = 0;
        ok = BRGROMAPI_LoadFW2Memory(handle, image, &address) == 1 && BRGROMAPI_LongJump(handle) == 0;
    }
    CloseBrgDevice(handle);
    return ok ? 0 : -1;
}
