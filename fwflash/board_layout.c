/* The firmware tool's records, the SCSI generic request and the extended
 * control ioctls as the board (32-bit ARM) lays them out. Compiled in the
 * board build. */
#include <stddef.h>

#include <linux/videodev2.h>
#include <scsi/sg.h>

#include "brg_records.h"

#define AT(type, member, offset) \
	_Static_assert(offsetof(type, member) == (offset), #type "." #member " at " #offset)
#define SIZE(type, size) _Static_assert(sizeof(type) == (size), #type " of " #size " bytes")
#define IOC(name, value) _Static_assert((unsigned)(name) == (value), #name " is " #value)

SIZE(FACE_CMD, 32);
AT(FACE_CMD, d, 2);
SIZE(_FaceRect, 8);
SIZE(FacePositionList, 162);
AT(FacePositionList, face_rect, 2);

SIZE(log_header_t, 16);
AT(log_header_t, wHeaderLen, 2);
AT(log_header_t, dwPacketID, 4);
AT(log_header_t, wMessageType, 8);
AT(log_header_t, wMessagLen, 10);
AT(log_header_t, wCPUUsage, 12);

SIZE(BRG_STORAGE_INDEX_TABLE1, 512);
AT(BRG_STORAGE_INDEX_TABLE1, ulTotalSectorsInLayer, 12);
AT(BRG_STORAGE_INDEX_TABLE1, bt.ulStartBlock, 16);
AT(BRG_STORAGE_INDEX_TABLE1, bt.ulFlag, 28);
AT(BRG_STORAGE_INDEX_TABLE1, it, 32);
AT(BRG_STORAGE_INDEX_TABLE1, dummy, 496);
AT(BRG_STORAGE_INDEX_TABLE1, ulTail, 508);

/* The SCSI generic path and the pan-tilt-zoom controls. */
IOC(SG_IO, 0x2285u);
SIZE(sg_io_hdr_t, 64);
IOC(VIDIOC_G_EXT_CTRLS, 0xC0185647u);
IOC(VIDIOC_S_EXT_CTRLS, 0xC0185648u);
