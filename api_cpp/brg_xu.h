/* Commands of the lens module's UVC bridge: its image signal processor is
 * driven through vendor extension unit 6 with 8-byte command packets, and a
 * few standard controls go through the plain V4L2 control calls.
 *
 * Every call prints its own errors on standard output and returns a code;
 * none of them keeps state besides the handle of BrgXU_Init. */
#ifndef BRG_XU_H
#define BRG_XU_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BRG_XU_UNIT_ID 6

/* Extension-unit selectors. */
#define BRG_XU_SEL_SET_ISP 1
#define BRG_XU_SEL_GET_ISP 2
#define BRG_XU_SEL_SET_MMP 4
#define BRG_XU_SEL_GET_MMP 5
#define BRG_XU_SEL_SET_ISP_EX 6
#define BRG_XU_SEL_GET_ISP_EX 7
#define BRG_XU_SEL_GET_DATA 11
#define BRG_XU_SEL_SET_MMP16 14
#define BRG_XU_SEL_GET_MMP16 15

#define BRG_ISP_PACKET_SIZE 8
#define BRG_ISP_EX_PACKET_SIZE 16

/* Command groups and commands: bytes 0 and 1 of a packet. */
#define BRG_GRP_ISP 0x00
#define BRG_GRP_SYNC 0x01
#define BRG_GRP_SENSOR 0x0A
#define BRG_GRP_FW_VERSION 0x0B
#define BRG_GRP_FW_DATE 0x0C
#define BRG_GRP_FLIP 0x11

#define BRG_ISP_READ_EXPOSURE 0x00
#define BRG_ISP_WRITE_EXPOSURE 0x01
#define BRG_ISP_READ_RGB 0x02
#define BRG_ISP_WRITE_RGB 0x03
#define BRG_ISP_WRITE_GAIN 0x04
#define BRG_ISP_WRITE_SHUTTER 0x05
#define BRG_ISP_WORKING_MODE 0x09
#define BRG_ISP_READ_GAIN 0x0B
#define BRG_ISP_READ_SHUTTER 0x0C
#define BRG_SENSOR_WRITE_REG 0x03

#define BRG_GAIN_MIN 100
#define BRG_GAIN_MAX 20000
#define BRG_SHUTTER_MIN 1
#define BRG_SHUTTER_MAX 12000

/* Results of the two firmware queries. */
#define BRG_FW_CMD_FAILED 0x08000000u
#define BRG_FW_BAD_STATUS 0x80000001u

/* Opaque handle of an open bridge (holds the device descriptor). */
typedef struct BrgXU_Dev *BrgXU_Handle;

/* ---- packet layout (plain functions, no device) ---- */

/* Clears the packet and sets the group and command bytes. */
void brg_packet_init(unsigned char pkt[BRG_ISP_PACKET_SIZE], unsigned char group,
		     unsigned char cmd);
void brg_put_le16(unsigned char *p, unsigned value);
void brg_put_le32(unsigned char *p, unsigned value);
unsigned brg_get_le16(const unsigned char *p);
unsigned brg_get_le32(const unsigned char *p);

void brg_packet_write_exposure(unsigned char pkt[8], unsigned value);
void brg_packet_write_rgb(unsigned char pkt[8], unsigned short r, unsigned short g,
			  unsigned short b);
/* Gain or shutter: low 16 bits of value in bytes 2-3. */
void brg_packet_write_u16(unsigned char pkt[8], unsigned char cmd, unsigned value);
void brg_packet_working_mode(unsigned char pkt[8], unsigned mode);
void brg_packet_flip(unsigned char pkt[8], unsigned a, unsigned b);
void brg_packet_sensor_reg(unsigned char pkt[8], unsigned short reg, unsigned short value);

/* Build-date text "20YYMMDD" from a result packet; out holds 9 bytes. An
 * unknown month name leaves out[4..5] as they were. */
void brg_decode_build_date(const unsigned char res[8], char *out);

/* ---- transport ---- */

/* One UVCIOC_CTRL_QUERY; 0, or errno (positive) after printing it. NULL data
 * gives EINVAL without a call. */
int UVC_XuCmd_V2(int fd, unsigned char *data, unsigned short selector, unsigned char size,
		 unsigned query, unsigned char unit);
/* UVC_XuCmd_V2 on unit 6: SET_CUR when set is non-zero, else GET_CUR. */
int BrgXU_XuCmd(int fd, unsigned char *data, unsigned short selector, unsigned char size,
		unsigned char set);

/* ---- set-up ---- */

/* Registers the unit's controls with the driver; NULL without a device or
 * without the privileges to map. */
BrgXU_Handle BrgXU_Init(int fd);
void BrgXU_Release(BrgXU_Handle *handle);
/* Descriptor the handle was made for, -1 for NULL. */
int BrgXU_Fd(BrgXU_Handle handle);

/* ---- ISP commands: 0, a transport error code, or -1 out of bounds ---- */

int BrgXU_ReadISP(int fd, unsigned *exposure);
int BrgXU_WriteISP(int fd, unsigned exposure);
int BrgXU_ReadISP_RGB(int fd, unsigned short *r, unsigned short *g, unsigned short *b);
int BrgXU_WriteISP_RGB(int fd, unsigned short r, unsigned short g, unsigned short b);
int BrgXU_WriteISP_gain(int fd, unsigned gain);
int BrgXU_WriteISP_shutter(int fd, unsigned shutter);
int BrgXU_WriteISP_SetWorkingMode(int fd, unsigned mode);
int BrgXU_ReadISP_gain(int fd, unsigned *gain);
int BrgXU_ReadISP_shutter(int fd, unsigned *shutter);
int BrgXU_frameSync(int fd);
int BrgXU_flip(int fd, unsigned a, unsigned b);
int BrgXU_WriteSensorReg(BrgXU_Handle handle, unsigned short reg, unsigned short value);

/* Firmware queries: 0, BRG_FW_CMD_FAILED or BRG_FW_BAD_STATUS. */
unsigned BrgXU_GetFWVersion(BrgXU_Handle handle, unsigned char *version);
unsigned BrgXU_GetFWBuildDate(int fd, char *date);

/* Raw commands: 8 bytes to selector 1; 16 bytes to 6 and back from 7; 16
 * bytes to 14 and back from 15 after wait milliseconds. */
int BrgXU_IspCmd(BrgXU_Handle handle, unsigned char *cmd, unsigned char *result);
int BrgXU_IspExCmd(BrgXU_Handle handle, unsigned char *cmd, unsigned char *result);
int BrgXU_MmpCmd16(BrgXU_Handle handle, unsigned char *cmd, unsigned char *result,
		   unsigned wait);

/* ---- standard controls ---- */

int BrgUVC_CameraCmd(BrgXU_Handle handle, long long *value, unsigned id, unsigned char set);
int BrgUVC_PUQuery(BrgXU_Handle handle, unsigned id, int *max, int *min, int *step);
int BrgUVC_PUControl(BrgXU_Handle handle, int *value, unsigned id, unsigned char set);

#ifdef __cplusplus
}
#endif

#endif
