/* The records the firmware tool exchanges with the camera module over USB
 * and writes into its flash. Plain C, so the board build checks their
 * layout (board_layout.c); fixed-width fields, the same bytes on the 32-bit
 * board and on a 64-bit host. */
#pragma once

#include <stdint.h>

#pragma pack(push, 1)
/* Face-detection parameters (vendor request 2). */
typedef struct FACE_CMD {
    uint8_t cmd;
    uint8_t dlen;
    uint8_t d[30];
} FACE_CMD;

typedef struct _FaceRect {
    uint16_t left;
    uint16_t top;
    uint16_t right;
    uint16_t bottom;
} _FaceRect;

typedef struct FacePositionList {
    uint16_t num_face;
    _FaceRect face_rect[20];
} FacePositionList;

/* At the start of every message of the module's log stream. */
typedef struct log_header_t {
    uint8_t bHeaderMark;
    uint8_t bVer;
    uint16_t wHeaderLen;
    uint32_t dwPacketID;
    uint16_t wMessageType;
    uint16_t wMessagLen;
    uint16_t wCPUUsage;
    uint16_t reserved;
} log_header_t;
#pragma pack(pop)

enum {
    LOG_MSG_FW_MESSAGE = 0,
    LOG_MSG_AUDIO_MESSAGE = 1,
    LOG_MSG_DRAM_MESSAGE = 2,
    LOG_MSG_FLASH_MESSAGE = 3,
    LOG_MSG_MAX_NUM = 4
};

typedef struct BRG_BOOT_TABLE_ENTRY {
    uint32_t ulStartBlock;
    uint32_t ulCodeSize;
    uint32_t ulDownloadDstAddress;
    uint32_t ulFlag;
} BRG_BOOT_TABLE_ENTRY;

typedef struct BRG_STORAGE_PART_ENTRY {
    uint32_t ulStartBlock;
    uint32_t ulSize;
    uint32_t ulFlag0;
    uint32_t ulFlag1;
} BRG_STORAGE_PART_ENTRY;

/* The 512-byte firmware header table; every field little-endian. */
typedef struct BRG_STORAGE_INDEX_TABLE1 {
    uint32_t ulHeader;
    uint32_t ulFlag;
    uint32_t ulAlignedBlockSizeShift;
    uint32_t ulTotalSectorsInLayer;
    BRG_BOOT_TABLE_ENTRY bt;
    BRG_STORAGE_PART_ENTRY it[29];
    uint32_t dummy[3];
    uint32_t ulTail;
} BRG_STORAGE_INDEX_TABLE1;

typedef enum BRG_STORAGE_TYPE {
    BRG_STORAGE_MOVINAND = 0,
    BRG_STORAGE_ESD = 1,
    BRG_STORAGE_EMMC = 2,
    BRG_STORAGE_SIF = 3,
    BRG_STORAGE_NAND = 4,
    BRG_STORAGE_PCAM_SF = 5,
    BRG_STORAGE_PCAM_DRAM = 128
} BRG_STORAGE_TYPE;

typedef enum _BRG_MMC_PART { BRG_USER_AREA = 0, BRG_BOOT_AREA = 1 } _BRG_MMC_PART;
