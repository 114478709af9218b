/* Extension-unit command set of the lens module's UVC bridge. */
#include "brg_xu.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>

#include "cam_ioctl.h"

struct BrgXU_Dev {
	int fd;
};

/* {23E49ED0-1178-4F31-AE52-D2FB8A8D3B48} in stored byte order. */
static const unsigned char brg_xu_guid[16] = {
	0xd0, 0x9e, 0xe4, 0x23, 0x78, 0x11, 0x31, 0x4f,
	0xae, 0x52, 0xd2, 0xfb, 0x8a, 0x8d, 0x3b, 0x48,
};

struct brg_map_entry {
	unsigned id;
	const char *name;
	unsigned char selector;
	unsigned char size;
	unsigned data_type;
};

static const struct brg_map_entry brg_map_table[] = {
	{ V4L2_CID_PRIVATE_BASE + 1, "Set ISP", BRG_XU_SEL_SET_ISP, 64, UVC_CTRL_DATA_TYPE_SIGNED },
	{ V4L2_CID_PRIVATE_BASE + 2, "Get ISP", BRG_XU_SEL_GET_ISP, 64, UVC_CTRL_DATA_TYPE_SIGNED },
	{ V4L2_CID_PRIVATE_BASE + 1, "Set MMP", BRG_XU_SEL_SET_MMP, 64, UVC_CTRL_DATA_TYPE_SIGNED },
	{ V4L2_CID_PRIVATE_BASE + 2, "Get MMP", BRG_XU_SEL_GET_MMP, 64, UVC_CTRL_DATA_TYPE_SIGNED },
	{ V4L2_CID_PRIVATE_BASE + 3, "Set MMP16", BRG_XU_SEL_SET_MMP16, 128,
	  UVC_CTRL_DATA_TYPE_SIGNED },
	{ V4L2_CID_PRIVATE_BASE + 4, "Get MMP16 Result", BRG_XU_SEL_GET_MMP16, 128,
	  UVC_CTRL_DATA_TYPE_SIGNED },
	{ V4L2_CID_PRIVATE_BASE + 5, "BRG XU Get Data", BRG_XU_SEL_GET_DATA, 255,
	  UVC_CTRL_DATA_TYPE_UNSIGNED },
	{ V4L2_CID_PRIVATE_BASE + 6, "Set ISP EX", BRG_XU_SEL_SET_ISP_EX, 128,
	  UVC_CTRL_DATA_TYPE_SIGNED },
	{ V4L2_CID_PRIVATE_BASE + 7, "Get ISP EX Result", BRG_XU_SEL_GET_ISP_EX, 128,
	  UVC_CTRL_DATA_TYPE_SIGNED },
};

static const char *const brg_months[12] = {
	"Jan", "Feb", "Mar", "Apr", "May", "Jun",
	"Jul", "Aug", "Sep", "Oct", "Nov", "Dec",
};

/* ---- packet layout ---- */

void brg_packet_init(unsigned char pkt[8], unsigned char group, unsigned char cmd)
{
	memset(pkt, 0, BRG_ISP_PACKET_SIZE);
	pkt[0] = group;
	pkt[1] = cmd;
}

void brg_put_le16(unsigned char *p, unsigned value)
{
	p[0] = value & 0xff;
	p[1] = (value >> 8) & 0xff;
}

void brg_put_le32(unsigned char *p, unsigned value)
{
	brg_put_le16(p, value & 0xffff);
	brg_put_le16(p + 2, value >> 16);
}

unsigned brg_get_le16(const unsigned char *p)
{
	return (unsigned)p[0] | ((unsigned)p[1] << 8);
}

unsigned brg_get_le32(const unsigned char *p)
{
	return brg_get_le16(p) | (brg_get_le16(p + 2) << 16);
}

void brg_packet_write_exposure(unsigned char pkt[8], unsigned value)
{
	brg_packet_init(pkt, BRG_GRP_ISP, BRG_ISP_WRITE_EXPOSURE);
	brg_put_le32(pkt + 2, value);
}

void brg_packet_write_rgb(unsigned char pkt[8], unsigned short r, unsigned short g,
			  unsigned short b)
{
	brg_packet_init(pkt, BRG_GRP_ISP, BRG_ISP_WRITE_RGB);
	brg_put_le16(pkt + 2, r);
	brg_put_le16(pkt + 4, g);
	brg_put_le16(pkt + 6, b);
}

void brg_packet_write_u16(unsigned char pkt[8], unsigned char cmd, unsigned value)
{
	brg_packet_init(pkt, BRG_GRP_ISP, cmd);
	brg_put_le16(pkt + 2, value & 0xffff);
}

void brg_packet_working_mode(unsigned char pkt[8], unsigned mode)
{
	brg_packet_init(pkt, BRG_GRP_ISP, BRG_ISP_WORKING_MODE);
	pkt[2] = mode & 0xff;
}

void brg_packet_flip(unsigned char pkt[8], unsigned a, unsigned b)
{
	brg_packet_init(pkt, BRG_GRP_FLIP, b & 0xff);
	pkt[2] = a & 0xff;
}

void brg_packet_sensor_reg(unsigned char pkt[8], unsigned short reg, unsigned short value)
{
	brg_packet_init(pkt, BRG_GRP_SENSOR, BRG_SENSOR_WRITE_REG);
	brg_put_le16(pkt + 2, reg);
	brg_put_le16(pkt + 4, value);
}

void brg_decode_build_date(const unsigned char res[8], char *out)
{
	int i;

	out[0] = '2';
	out[1] = '0';
	out[2] = (char)res[1];
	out[3] = (char)res[2];
	for (i = 0; i < 12; i++) {
		if (memcmp(res + 3, brg_months[i], 3) == 0) {
			out[4] = (char)('0' + (i + 1) / 10);
			out[5] = (char)('0' + (i + 1) % 10);
			break;
		}
	}
	out[6] = (char)res[6];
	out[7] = (char)res[7];
	out[8] = '\0';
}

/* ---- transport ---- */

int UVC_XuCmd_V2(int fd, unsigned char *data, unsigned short selector, unsigned char size,
		 unsigned query, unsigned char unit)
{
	struct uvc_xu_control_query q;
	int ret;

	if (!data)
		return EINVAL;
	memset(&q, 0, sizeof(q));
	q.unit = unit;
	q.selector = (__u8)selector;
	q.query = (__u8)query;
	q.size = size;
	q.data = data;
	do {
		ret = cam_ioctl(fd, UVCIOC_CTRL_QUERY, &q);
	} while (ret < 0 && errno == EINTR);
	if (ret < 0) {
		int err = errno;

		printf("Command Failed: errno=%d, %s\r\n", err, strerror(err));
		return err;
	}
	return 0;
}

int BrgXU_XuCmd(int fd, unsigned char *data, unsigned short selector, unsigned char size,
		unsigned char set)
{
	return UVC_XuCmd_V2(fd, data, selector, size, set ? UVC_SET_CUR : UVC_GET_CUR,
			    BRG_XU_UNIT_ID);
}

/* ---- set-up ---- */

BrgXU_Handle BrgXU_Init(int fd)
{
	struct BrgXU_Dev *dev;
	size_t i;

	if (fd <= 0) {
		printf("Video device not exist.\r");
		return NULL;
	}
	errno = 0;
	for (i = 0; i < sizeof(brg_map_table) / sizeof(brg_map_table[0]); i++) {
		const struct brg_map_entry *e = &brg_map_table[i];
		struct uvc_xu_control_mapping map;
		int ret;

		memset(&map, 0, sizeof(map));
		map.id = e->id;
		strncpy((char *)map.name, e->name, sizeof(map.name) - 1);
		memcpy(map.entity, brg_xu_guid, sizeof(map.entity));
		map.selector = e->selector;
		map.size = e->size;
		map.offset = 0;
		map.v4l2_type = V4L2_CTRL_TYPE_INTEGER;
		map.data_type = e->data_type;
		do {
			ret = cam_ioctl(fd, UVCIOC_CTRL_MAP, &map);
		} while (ret < 0 && errno == EINTR);
		/* A mapping the driver already holds is fine; missing rights are not. */
		if (ret < 0 && (errno == EACCES || errno == EPERM)) {
			printf("BrgXU_Init: need root privileges. \r");
			return NULL;
		}
	}
	dev = calloc(1, sizeof(*dev));
	if (!dev)
		return NULL;
	dev->fd = fd;
	return dev;
}

void BrgXU_Release(BrgXU_Handle *handle)
{
	if (!handle)
		return;
	free(*handle);
	*handle = NULL;
}

int BrgXU_Fd(BrgXU_Handle handle)
{
	return handle ? handle->fd : -1;
}

/* ---- ISP commands ---- */

static int brg_send(int fd, unsigned char pkt[8])
{
	return BrgXU_XuCmd(fd, pkt, BRG_XU_SEL_SET_ISP, BRG_ISP_PACKET_SIZE, 1);
}

/* Sends a query command and reads its 8-byte answer into res. */
static int brg_query(int fd, unsigned char group, unsigned char cmd, unsigned char res[8])
{
	unsigned char pkt[BRG_ISP_PACKET_SIZE];
	int ret;

	brg_packet_init(pkt, group, cmd);
	ret = brg_send(fd, pkt);
	if (ret)
		return ret;
	memset(res, 0, BRG_ISP_PACKET_SIZE);
	return BrgXU_XuCmd(fd, res, BRG_XU_SEL_GET_ISP, BRG_ISP_PACKET_SIZE, 0);
}

static int brg_read_u32(int fd, unsigned char cmd, unsigned *out)
{
	unsigned char res[BRG_ISP_PACKET_SIZE];
	int ret = brg_query(fd, BRG_GRP_ISP, cmd, res);

	if (ret)
		return ret;	/* the caller's value stays as it was */
	if (out)
		*out = brg_get_le32(res + 2);
	return 0;
}

int BrgXU_ReadISP(int fd, unsigned *exposure)
{
	return brg_read_u32(fd, BRG_ISP_READ_EXPOSURE, exposure);
}

int BrgXU_WriteISP(int fd, unsigned exposure)
{
	unsigned char pkt[BRG_ISP_PACKET_SIZE];

	brg_packet_write_exposure(pkt, exposure);
	return brg_send(fd, pkt);
}

int BrgXU_ReadISP_RGB(int fd, unsigned short *r, unsigned short *g, unsigned short *b)
{
	unsigned char res[BRG_ISP_PACKET_SIZE];
	int ret = brg_query(fd, BRG_GRP_ISP, BRG_ISP_READ_RGB, res);

	if (ret)
		return ret;
	if (r)
		*r = (unsigned short)brg_get_le16(res + 2);
	if (g)
		*g = (unsigned short)brg_get_le16(res + 4);
	if (b)
		*b = (unsigned short)brg_get_le16(res + 6);
	return 0;
}

int BrgXU_WriteISP_RGB(int fd, unsigned short r, unsigned short g, unsigned short b)
{
	unsigned char pkt[BRG_ISP_PACKET_SIZE];

	brg_packet_write_rgb(pkt, r, g, b);
	return brg_send(fd, pkt);
}

int BrgXU_WriteISP_gain(int fd, unsigned gain)
{
	unsigned char pkt[BRG_ISP_PACKET_SIZE];

	if (gain < BRG_GAIN_MIN || gain > BRG_GAIN_MAX) {
		printf("[ %s ] value out of bound\n", "BrgXU_WriteISP_gain");
		return -1;
	}
	brg_packet_write_u16(pkt, BRG_ISP_WRITE_GAIN, gain);
	return brg_send(fd, pkt);
}

int BrgXU_WriteISP_shutter(int fd, unsigned shutter)
{
	unsigned char pkt[BRG_ISP_PACKET_SIZE];

	if (shutter < BRG_SHUTTER_MIN || shutter > BRG_SHUTTER_MAX) {
		printf("[ %s ] value out of bound\n", "BrgXU_WriteISP_shutter");
		return -1;
	}
	brg_packet_write_u16(pkt, BRG_ISP_WRITE_SHUTTER, shutter);
	return brg_send(fd, pkt);
}

int BrgXU_WriteISP_SetWorkingMode(int fd, unsigned mode)
{
	unsigned char pkt[BRG_ISP_PACKET_SIZE];

	brg_packet_working_mode(pkt, mode);
	return brg_send(fd, pkt);
}

int BrgXU_ReadISP_gain(int fd, unsigned *gain)
{
	return brg_read_u32(fd, BRG_ISP_READ_GAIN, gain);
}

int BrgXU_ReadISP_shutter(int fd, unsigned *shutter)
{
	return brg_read_u32(fd, BRG_ISP_READ_SHUTTER, shutter);
}

int BrgXU_frameSync(int fd)
{
	unsigned char pkt[BRG_ISP_PACKET_SIZE];

	brg_packet_init(pkt, BRG_GRP_SYNC, 0x00);
	return brg_send(fd, pkt);
}

int BrgXU_flip(int fd, unsigned a, unsigned b)
{
	unsigned char pkt[BRG_ISP_PACKET_SIZE];

	brg_packet_flip(pkt, a, b);
	return brg_send(fd, pkt);
}

int BrgXU_WriteSensorReg(BrgXU_Handle handle, unsigned short reg, unsigned short value)
{
	unsigned char pkt[BRG_ISP_PACKET_SIZE];

	if (!handle)
		return EINVAL;
	brg_packet_sensor_reg(pkt, reg, value);
	return brg_send(handle->fd, pkt);
}

unsigned BrgXU_GetFWVersion(BrgXU_Handle handle, unsigned char *version)
{
	unsigned char res[BRG_ISP_PACKET_SIZE];

	if (!handle || brg_query(handle->fd, BRG_GRP_FW_VERSION, 0x00, res))
		return BRG_FW_CMD_FAILED;
	if (res[0] != 0)
		return BRG_FW_BAD_STATUS;
	if (version)
		memcpy(version, res + 2, 6);
	return 0;
}

unsigned BrgXU_GetFWBuildDate(int fd, char *date)
{
	unsigned char res[BRG_ISP_PACKET_SIZE];

	if (brg_query(fd, BRG_GRP_FW_DATE, 0x00, res))
		return BRG_FW_CMD_FAILED;
	if (res[0] != 0)
		return BRG_FW_BAD_STATUS;
	if (date)
		brg_decode_build_date(res, date);
	return 0;
}

/* ---- raw commands ---- */

static int brg_report(int ret)
{
	if (ret)
		printf("Command Failed: errno=%d, %s\r\n", ret, strerror(ret));
	return ret;
}

int BrgXU_IspCmd(BrgXU_Handle handle, unsigned char *cmd, unsigned char *result)
{
	(void)result;
	if (!cmd)
		return 0;
	if (!handle)
		return EINVAL;
	return brg_report(BrgXU_XuCmd(handle->fd, cmd, BRG_XU_SEL_SET_ISP,
				      BRG_ISP_PACKET_SIZE, 1));
}

int BrgXU_IspExCmd(BrgXU_Handle handle, unsigned char *cmd, unsigned char *result)
{
	int ret;

	if (!handle)
		return EINVAL;
	if (cmd) {
		ret = BrgXU_XuCmd(handle->fd, cmd, BRG_XU_SEL_SET_ISP_EX, BRG_ISP_EX_PACKET_SIZE, 1);
		if (ret)
			return brg_report(ret);
	}
	if (result) {
		ret = BrgXU_XuCmd(handle->fd, result, BRG_XU_SEL_GET_ISP_EX,
				  BRG_ISP_EX_PACKET_SIZE, 0);
		if (ret)
			return brg_report(ret);
	}
	return 0;
}

int BrgXU_MmpCmd16(BrgXU_Handle handle, unsigned char *cmd, unsigned char *result,
		   unsigned wait)
{
	int ret;

	if (!handle)
		return EINVAL;
	ret = BrgXU_XuCmd(handle->fd, cmd, BRG_XU_SEL_SET_MMP16, BRG_ISP_EX_PACKET_SIZE, 1);
	if (ret)
		return brg_report(ret);
	if (wait) {
		struct timespec ts = { wait / 1000, (long)(wait % 1000) * 1000000L };

		while (nanosleep(&ts, &ts) < 0 && errno == EINTR)
			;
	}
	if (result) {
		ret = BrgXU_XuCmd(handle->fd, result, BRG_XU_SEL_GET_MMP16,
				  BRG_ISP_EX_PACKET_SIZE, 0);
		if (ret)
			return brg_report(ret);
	}
	return 0;
}

/* ---- standard controls ---- */

int BrgUVC_CameraCmd(BrgXU_Handle handle, long long *value, unsigned id, unsigned char set)
{
	struct v4l2_ext_controls ctrls;
	struct v4l2_ext_control ctrl;
	int ret;

	if (!handle || !value)
		return EINVAL;
	memset(&ctrls, 0, sizeof(ctrls));
	memset(&ctrl, 0, sizeof(ctrl));
	ctrl.id = id;
	ctrl.value64 = set ? *value : 0;
	ctrls.ctrl_class = V4L2_CTRL_CLASS_USER;
	ctrls.count = 1;
	ctrls.controls = &ctrl;
	ret = cam_ioctl(handle->fd, set ? VIDIOC_S_EXT_CTRLS : VIDIOC_G_EXT_CTRLS, &ctrls);
	if (ret < 0) {
		int err = errno;

		printf("Command Failed: errno=%d, %s\r\n", err, strerror(err));
		return err;
	}
	if (!set)
		*value = ctrl.value64;
	return 0;
}

int BrgUVC_PUQuery(BrgXU_Handle handle, unsigned id, int *max, int *min, int *step)
{
	struct v4l2_queryctrl q;

	if (!handle)
		return EINVAL;
	memset(&q, 0, sizeof(q));
	q.id = id;
	if (cam_ioctl(handle->fd, VIDIOC_QUERYCTRL, &q) < 0) {
		int err = errno;

		if (err == EINVAL) {
			printf("Control ID not supported\n");
			return 0;
		}
		perror("VIDIOC_QUERYCTRL");
		return err;
	}
	if (q.flags & V4L2_CTRL_FLAG_DISABLED) {
		printf("Control ID not supported\n");
		return 0;
	}
	if (max)
		*max = q.maximum;
	if (min)
		*min = q.minimum;
	if (step)
		*step = q.step;
	return 0;
}

int BrgUVC_PUControl(BrgXU_Handle handle, int *value, unsigned id, unsigned char set)
{
	struct v4l2_control c;

	if (!handle || !value)
		return EINVAL;
	memset(&c, 0, sizeof(c));
	c.id = id;
	c.value = set ? *value : 0;
	if (cam_ioctl(handle->fd, set ? VIDIOC_S_CTRL : VIDIOC_G_CTRL, &c) < 0) {
		int err = errno;

		perror(set ? "VIDIOC_S_CTRL" : "VIDIOC_G_CTRL");
		return err;
	}
	if (!set)
		*value = c.value;
	return 0;
}
