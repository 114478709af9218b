/* The V4L2 and extension-unit ioctls and records of the capture library as
 * the board's kernel (Linux 3.4, 32-bit ARM) takes them. Compiled in the
 * board build: a 64-bit time_t or a changed record would send the driver
 * another ioctl number or a record it reads wrongly. */
#include <stddef.h>
#include <sys/types.h>

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>

#define AT(type, member, offset) \
	_Static_assert(offsetof(type, member) == (offset), #type "." #member " at " #offset)
#define SIZE(type, size) _Static_assert(sizeof(type) == (size), #type " of " #size " bytes")
#define IOC(name, value) _Static_assert((unsigned)(name) == (value), #name " is " #value)

/* Media files of 2 GiB and more: 64-bit file offsets in every program. */
SIZE(off_t, 8);

/* Extension unit: query and control mapping. */
IOC(UVCIOC_CTRL_QUERY, 0xc00c7521u);
IOC(UVCIOC_CTRL_MAP, 0xc0587520u);
SIZE(struct uvc_xu_control_query, 12);
AT(struct uvc_xu_control_query, unit, 0);
AT(struct uvc_xu_control_query, selector, 1);
AT(struct uvc_xu_control_query, query, 2);
AT(struct uvc_xu_control_query, size, 4);
AT(struct uvc_xu_control_query, data, 8);
SIZE(struct uvc_xu_control_mapping, 88);
AT(struct uvc_xu_control_mapping, id, 0);
AT(struct uvc_xu_control_mapping, name, 4);
AT(struct uvc_xu_control_mapping, entity, 36);
AT(struct uvc_xu_control_mapping, selector, 52);
AT(struct uvc_xu_control_mapping, size, 53);
AT(struct uvc_xu_control_mapping, offset, 54);
AT(struct uvc_xu_control_mapping, v4l2_type, 56);
AT(struct uvc_xu_control_mapping, data_type, 60);
AT(struct uvc_xu_control_mapping, menu_info, 64);
AT(struct uvc_xu_control_mapping, menu_count, 68);
AT(struct uvc_xu_control_mapping, reserved, 72);
IOC(UVC_SET_CUR, 0x01u);
IOC(UVC_GET_CUR, 0x81u);
IOC(UVC_CTRL_DATA_TYPE_SIGNED, 1u);
IOC(UVC_CTRL_DATA_TYPE_UNSIGNED, 2u);
IOC(V4L2_CTRL_TYPE_INTEGER, 1u);
IOC(V4L2_CID_PRIVATE_BASE, 0x08000000u);

/* Extended controls (the standard controls of the bridge). */
IOC(VIDIOC_G_EXT_CTRLS, 0xC0185647u);
IOC(VIDIOC_S_EXT_CTRLS, 0xC0185648u);
IOC(V4L2_CTRL_CLASS_USER, 0x980000u);
SIZE(struct v4l2_ext_controls, 24);
AT(struct v4l2_ext_controls, ctrl_class, 0);
AT(struct v4l2_ext_controls, count, 4);
AT(struct v4l2_ext_controls, error_idx, 8);
AT(struct v4l2_ext_controls, controls, 20);
SIZE(struct v4l2_ext_control, 20);
AT(struct v4l2_ext_control, id, 0);
AT(struct v4l2_ext_control, size, 4);
AT(struct v4l2_ext_control, value, 12);
AT(struct v4l2_ext_control, value64, 12);

/* Controls. */
IOC(VIDIOC_G_CTRL, 0xC008561Bu);
IOC(VIDIOC_S_CTRL, 0xC008561Cu);
IOC(VIDIOC_QUERYCTRL, 0xC0445624u);
SIZE(struct v4l2_control, 8);
SIZE(struct v4l2_queryctrl, 68);
AT(struct v4l2_queryctrl, minimum, 40);
AT(struct v4l2_queryctrl, maximum, 44);
AT(struct v4l2_queryctrl, step, 48);
AT(struct v4l2_queryctrl, flags, 56);

/* Streaming. */
IOC(VIDIOC_QUERYCAP, 0x80685600u);
IOC(VIDIOC_S_FMT, 0xC0CC5605u);
IOC(VIDIOC_REQBUFS, 0xC0145608u);
IOC(VIDIOC_QUERYBUF, 0xC0445609u);
IOC(VIDIOC_QBUF, 0xC044560Fu);
IOC(VIDIOC_DQBUF, 0xC0445611u);
IOC(VIDIOC_STREAMON, 0x40045612u);
IOC(VIDIOC_STREAMOFF, 0x40045613u);
IOC(VIDIOC_S_PARM, 0xC0CC5616u);
IOC(V4L2_CAP_TIMEPERFRAME, 0x1000u);
IOC(V4L2_FIELD_INTERLACED, 4u);
SIZE(struct v4l2_capability, 104);
AT(struct v4l2_capability, capabilities, 84);
SIZE(struct v4l2_format, 204);
AT(struct v4l2_format, fmt, 4);
AT(struct v4l2_format, fmt.pix.width, 4);
AT(struct v4l2_format, fmt.pix.height, 8);
AT(struct v4l2_format, fmt.pix.pixelformat, 12);
AT(struct v4l2_format, fmt.pix.field, 16);
SIZE(struct v4l2_streamparm, 204);
AT(struct v4l2_streamparm, parm.capture.capability, 4);
AT(struct v4l2_streamparm, parm.capture.capturemode, 8);
AT(struct v4l2_streamparm, parm.capture.timeperframe, 12);
SIZE(struct v4l2_requestbuffers, 20);
AT(struct v4l2_requestbuffers, count, 0);
AT(struct v4l2_requestbuffers, memory, 8);
SIZE(struct v4l2_buffer, 68);
AT(struct v4l2_buffer, bytesused, 8);
AT(struct v4l2_buffer, field, 16);
AT(struct v4l2_buffer, timestamp, 20);
AT(struct v4l2_buffer, sequence, 44);
AT(struct v4l2_buffer, memory, 48);
AT(struct v4l2_buffer, m.offset, 52);
AT(struct v4l2_buffer, length, 56);
