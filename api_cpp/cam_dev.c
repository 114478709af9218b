/* V4L2 capture layer over one lens device. */
#include "cam_dev.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "cam_ioctl.h"

int32_t camera_width;
int32_t camera_height;
uint32_t buffer_count;

/* Poll slice while waiting for a frame. */
#define CAM_POLL_SLICE_MS 5

static void cam_report(const char *label)
{
	int err = errno;

	fprintf(stderr, "[ camera ]%s error %d, %s\n", label, err, strerror(err));
	errno = err;
}

/* Streaming ioctls are repeated while a signal interrupts them. */
static int xioctl(int fd, unsigned long request, void *arg)
{
	int ret;

	do {
		ret = cam_ioctl(fd, request, arg);
	} while (ret < 0 && errno == EINTR);
	return ret;
}

void camera_clear(cam_dev *dev)
{
	memset(dev, 0, sizeof(*dev));
	dev->fd = -1;
}

static int stream_off(int fd)
{
	enum v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;

	return xioctl(fd, VIDIOC_STREAMOFF, &type);
}

/* Gives back whatever a camera holds; -1 when a step failed. */
static int camera_teardown(cam_dev *dev, int report)
{
	int ret = 0;
	uint32_t i;

	if (dev->fd >= 0 && dev->streaming && stream_off(dev->fd) < 0) {
		if (report)
			cam_report("VIDIOC_STREAMOFF");
		ret = -1;
	}
	dev->streaming = 0;
	if (dev->buffers) {
		for (i = 0; i < dev->mapped && i < dev->granted; i++) {
			if (munmap(dev->buffers[i].start, dev->buffers[i].length) < 0) {
				if (report)
					cam_report("munmap");
				ret = -1;
			}
		}
		free(dev->buffers);
	}
	dev->buffers = NULL;
	dev->granted = 0;
	dev->mapped = 0;
	if (dev->fd >= 0 && close(dev->fd) < 0) {
		if (report)
			cam_report("close");
		ret = -1;
	}
	dev->fd = -1;
	BrgXU_Release(&dev->xu);
	return ret;
}

static int init_fail(cam_dev *dev, const char *label)
{
	if (label)
		cam_report(label);
	camera_teardown(dev, 0);
	return -1;
}

int camera_init(cam_dev *dev, int index, int width, int height)
{
	char path[32];
	struct stat st;
	struct v4l2_capability cap;
	struct v4l2_format fmt;
	struct v4l2_streamparm parm;
	struct v4l2_requestbuffers req;
	enum v4l2_buf_type type;
	uint32_t i;

	camera_clear(dev);
	snprintf(path, sizeof(path), "/dev/video%d", index);
	camera_width = width;
	camera_height = height;

	if (stat(path, &st) < 0) {
		fprintf(stderr, "Cannot identify '%s': %d, %s\n", path, errno, strerror(errno));
		return -1;
	}
	if (!S_ISCHR(st.st_mode)) {
		fprintf(stderr, "%s is no device\n", path);
		return -1;
	}
	dev->fd = open(path, O_RDWR | O_NONBLOCK);
	if (dev->fd < 0) {
		fprintf(stderr, "Cannot open '%s': %d, %s\n", path, errno, strerror(errno));
		dev->fd = -1;
		return -1;
	}

	memset(&cap, 0, sizeof(cap));
	if (xioctl(dev->fd, VIDIOC_QUERYCAP, &cap) < 0)
		return init_fail(dev, errno == EINVAL ? "NOT V4L2 DEVICE" : "VIDIOC_QUERYCAP");
	if (!(cap.capabilities & V4L2_CAP_VIDEO_CAPTURE))
		return init_fail(dev, "NOT VIDEO CAPTURE DEVICE");
	if (!(cap.capabilities & V4L2_CAP_STREAMING))
		return init_fail(dev, "STREAM I/O NOT SUPPORT");

	memset(&fmt, 0, sizeof(fmt));
	fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
	fmt.fmt.pix.width = (uint32_t)camera_width;
	fmt.fmt.pix.height = (uint32_t)camera_height;
	fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
	fmt.fmt.pix.field = V4L2_FIELD_INTERLACED;
	if (xioctl(dev->fd, VIDIOC_S_FMT, &fmt) < 0)
		return init_fail(dev, "VIDIOC_S_FMT");

	memset(&parm, 0, sizeof(parm));
	parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
	parm.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
	parm.parm.capture.capturemode = 0;
	parm.parm.capture.timeperframe.numerator = 1;
	parm.parm.capture.timeperframe.denominator = 60;
	if (xioctl(dev->fd, VIDIOC_S_PARM, &parm) < 0)
		return init_fail(dev, "VIDIOC_S_PARM");

	memset(&req, 0, sizeof(req));
	req.count = CAM_REQUEST_BUFFERS;
	req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
	req.memory = V4L2_MEMORY_MMAP;
	if (xioctl(dev->fd, VIDIOC_REQBUFS, &req) < 0)
		return init_fail(dev, errno == EINVAL ? "MMAP NOT SUPPORT" : "VIDIOC_REQBUFS");
	if (req.count < 1) {
		errno = ENOMEM;
		return init_fail(dev, "INSUFFICIENT BUFFER");
	}
	dev->buffers = calloc(req.count, sizeof(*dev->buffers));
	if (!dev->buffers) {
		errno = ENOMEM;
		return init_fail(dev, "OUT OF MEMORY");
	}
	dev->granted = req.count;

	for (i = 0; i < dev->granted; i++) {
		struct v4l2_buffer buf;
		void *start;

		memset(&buf, 0, sizeof(buf));
		buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
		buf.memory = V4L2_MEMORY_MMAP;
		buf.index = i;
		if (xioctl(dev->fd, VIDIOC_QUERYBUF, &buf) < 0)
			return init_fail(dev, "VIDIOC_QUERYBUF");
		start = mmap(NULL, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, dev->fd,
			     buf.m.offset);
		if (start == MAP_FAILED)
			return init_fail(dev, "mmap");
		dev->buffers[i].start = start;
		dev->buffers[i].length = buf.length;
		dev->mapped = i + 1;
	}
	buffer_count = dev->mapped;

	for (i = 0; i < dev->mapped; i++) {
		struct v4l2_buffer buf;

		memset(&buf, 0, sizeof(buf));
		buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
		buf.memory = V4L2_MEMORY_MMAP;
		buf.index = i;
		if (xioctl(dev->fd, VIDIOC_QBUF, &buf) < 0)
			return init_fail(dev, "VIDIOC_QBUF");
	}
	type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
	if (xioctl(dev->fd, VIDIOC_STREAMON, &type) < 0)
		return init_fail(dev, "VIDIOC_STREAMON");
	dev->streaming = 1;

	dev->xu = BrgXU_Init(dev->fd);
	return 0;
}

static long elapsed_ms(const struct timespec *since)
{
	struct timespec now;

	clock_gettime(CLOCK_MONOTONIC, &now);
	return (long)(((int64_t)(now.tv_sec - since->tv_sec) * 1000000000LL +
		       (now.tv_nsec - since->tv_nsec)) / 1000000LL);
}

static void sleep_ms(long ms)
{
	struct timespec ts = { ms / 1000, (ms % 1000) * 1000000L };

	while (nanosleep(&ts, &ts) < 0 && errno == EINTR)
		;
}

int picture_get(cam_dev *dev, char **data)
{
	struct timespec start;
	int woke_empty = 0;

	clock_gettime(CLOCK_MONOTONIC, &start);
	for (;;) {
		long left;

		memset(&dev->frame, 0, sizeof(dev->frame));
		dev->frame.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
		dev->frame.memory = V4L2_MEMORY_MMAP;
		if (xioctl(dev->fd, VIDIOC_DQBUF, &dev->frame) == 0)
			break;
		if (errno == EIO) {
			cam_report("EIO");
			return -3;
		}
		if (errno != EAGAIN) {
			cam_report("VIDIOC_DQBUF");
			return -1;
		}
		left = CAM_FRAME_TIMEOUT_MS - elapsed_ms(&start);
		if (left <= 0) {
			errno = EAGAIN;
			cam_report("NO FRAME IN QUEUE");
			return -2;
		}
		if (left > CAM_POLL_SLICE_MS)
			left = CAM_POLL_SLICE_MS;
		if (woke_empty) {
			/* poll said ready but nothing came: do not spin on it */
			sleep_ms(left);
			woke_empty = 0;
		} else {
			struct pollfd p = { dev->fd, POLLIN, 0 };

			woke_empty = poll(&p, 1, (int)left) != 0;
		}
	}
	if (dev->frame.index >= dev->mapped || !dev->buffers) {
		/* not one of ours: nothing to hand out and nothing to give back */
		errno = EINVAL;
		cam_report("BUFFER INDEX");
		return -1;
	}
	if (dev->frame.bytesused > dev->buffers[dev->frame.index].length)
		dev->frame.bytesused = dev->buffers[dev->frame.index].length;
	*data = (char *)dev->buffers[dev->frame.index].start;
	return (int)dev->frame.bytesused;
}

int picture_free(cam_dev *dev)
{
	if (xioctl(dev->fd, VIDIOC_QBUF, &dev->frame) < 0) {
		cam_report("VIDIOC_QBUF");
		return -1;
	}
	return 0;
}

int camera_free(cam_dev *dev)
{
	return camera_teardown(dev, 1);
}

int getV4L2Ctrl(cam_dev *dev, cameraProperty id)
{
	struct v4l2_control c;
	int ret;

	memset(&c, 0, sizeof(c));
	c.id = (uint32_t)id;
	ret = cam_ioctl(dev->fd, VIDIOC_G_CTRL, &c);
	if (ret < 0) {
		printf("[ %s ] ERROR\n", "getV4L2Ctrl");
		return ret;
	}
	return c.value;
}

int setV4L2Ctrl(cam_dev *dev, cameraProperty id, int value)
{
	struct v4l2_control c;

	memset(&c, 0, sizeof(c));
	c.id = (uint32_t)id;
	c.value = value;
	if (cam_ioctl(dev->fd, VIDIOC_S_CTRL, &c) < 0) {
		printf("[ %s ] ERROR\n", "setV4L2Ctrl");
		return -1;
	}
	return getV4L2Ctrl(dev, id) == value ? 1 : 0;
}

int aitReadExposure(cam_dev *dev, unsigned *exposure)
{
	return BrgXU_ReadISP(dev->fd, exposure);
}

int aitWriteExposure(cam_dev *dev, unsigned exposure)
{
	return BrgXU_WriteISP(dev->fd, exposure);
}

int aitReadShutter(cam_dev *dev, unsigned *shutter)
{
	return BrgXU_ReadISP_shutter(dev->fd, shutter);
}

int aitWriteShutter(cam_dev *dev, unsigned shutter)
{
	return BrgXU_WriteISP_shutter(dev->fd, shutter);
}

int aitReadGain(cam_dev *dev, unsigned *gain)
{
	return BrgXU_ReadISP_gain(dev->fd, gain);
}

int aitWriteGain(cam_dev *dev, unsigned gain)
{
	return BrgXU_WriteISP_gain(dev->fd, gain);
}

int aitReadRGB(cam_dev *dev, unsigned short rgb[3])
{
	return BrgXU_ReadISP_RGB(dev->fd, &rgb[0], &rgb[1], &rgb[2]);
}

int aitWriteRGB(cam_dev *dev, unsigned short rgb[3])
{
	return BrgXU_WriteISP_RGB(dev->fd, rgb[0], rgb[1], rgb[2]);
}

int aitSetWorkingMode(cam_dev *dev, unsigned mode)
{
	return BrgXU_WriteISP_SetWorkingMode(dev->fd, mode);
}

int aitFlip(cam_dev *dev, unsigned a, unsigned b)
{
	return BrgXU_flip(dev->fd, a, b);
}

int aitFrameSync(cam_dev *dev)
{
	return BrgXU_frameSync(dev->fd);
}

unsigned aitGetVersion(cam_dev *dev, char *out)
{
	return BrgXU_GetFWBuildDate(dev->fd, out);
}
