/* V4L2 capture layer: one lens as a video device that streams Motion-JPEG
 * frames through two memory-mapped driver buffers. Plain functions, small
 * negative return codes, errors written as text; nothing here throws. */
#ifndef CAM_DEV_H
#define CAM_DEV_H

#include <stdint.h>

#include <linux/videodev2.h>

#include "brg_xu.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CAM_REQUEST_BUFFERS 2
/* How long picture_get waits for a frame (a frame is due every 17 ms). */
#define CAM_FRAME_TIMEOUT_MS 2000

typedef struct cam_buffer {
	void *start;
	uint32_t length;
} cam_buffer;

typedef struct cam_dev {
	int32_t fd;
	cam_buffer *buffers;
	struct v4l2_buffer frame;
	BrgXU_Handle xu;
	/* This camera's own counts: buffers granted (entries in buffers) and
	 * buffers mapped; camera_free and picture_get go by these. */
	uint32_t granted;
	uint32_t mapped;
	int streaming;
} cam_dev;

typedef enum cameraProperty {
	CAM_PROP_BRIGHTNESS = V4L2_CID_BRIGHTNESS,
	CAM_PROP_CONTRAST = V4L2_CID_CONTRAST,
	CAM_PROP_SATURATION = V4L2_CID_SATURATION,
	CAM_PROP_HUE = V4L2_CID_HUE,
	CAM_PROP_GAMMA = V4L2_CID_GAMMA,
	CAM_PROP_GAIN = V4L2_CID_GAIN,
	CAM_PROP_WHITE_BALANCE_TEMPERATURE = V4L2_CID_WHITE_BALANCE_TEMPERATURE,
	CAM_PROP_WHITE_BALANCE_TEMPERATURE_AUTO = V4L2_CID_AUTO_WHITE_BALANCE,
	CAM_PROP_EXPOSURE_AUTO = V4L2_CID_EXPOSURE_AUTO,
	CAM_PROP_EXPOSURE_ABSOLUTE = V4L2_CID_EXPOSURE_ABSOLUTE,
	CAM_PROP_SHARPNESS = V4L2_CID_SHARPNESS,
	CAM_PROP_BACKLIGHT_COMPENSATION = V4L2_CID_BACKLIGHT_COMPENSATION,
	CAM_PROP_POWER_LINE_FREQUENCY = V4L2_CID_POWER_LINE_FREQUENCY,
} cameraProperty;

/* Frame size of the last camera_init and buffers it mapped, shared by every
 * camera of the process. */
extern int32_t camera_width;
extern int32_t camera_height;
extern uint32_t buffer_count;

/* An empty record (no descriptor, nothing mapped). */
void camera_clear(cam_dev *dev);

/* 0, or -1 with everything taken so far given back. */
int camera_init(cam_dev *dev, int index, int width, int height);
/* Bytes in the dequeued frame (0: an empty frame, held all the same); -1
 * dequeue error, -2 no frame in time, -3 device I/O error. */
int picture_get(cam_dev *dev, char **data);
int picture_free(cam_dev *dev);
/* Runs every step; -1 when one of them failed. */
int camera_free(cam_dev *dev);

int getV4L2Ctrl(cam_dev *dev, cameraProperty id);
int setV4L2Ctrl(cam_dev *dev, cameraProperty id, int value);

int aitReadExposure(cam_dev *dev, unsigned *exposure);
int aitWriteExposure(cam_dev *dev, unsigned exposure);
int aitReadShutter(cam_dev *dev, unsigned *shutter);
int aitWriteShutter(cam_dev *dev, unsigned shutter);
int aitReadGain(cam_dev *dev, unsigned *gain);
int aitWriteGain(cam_dev *dev, unsigned gain);
int aitReadRGB(cam_dev *dev, unsigned short rgb[3]);
int aitWriteRGB(cam_dev *dev, unsigned short rgb[3]);
int aitSetWorkingMode(cam_dev *dev, unsigned mode);
int aitFlip(cam_dev *dev, unsigned a, unsigned b);
int aitFrameSync(cam_dev *dev);
/* The firmware build date "20YYMMDD" into out (at least 9 bytes). */
unsigned aitGetVersion(cam_dev *dev, char *out);

#ifdef __cplusplus
}
#endif

#endif
