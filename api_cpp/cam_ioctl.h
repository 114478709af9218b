/* The one door through which the capture layer and the extension-unit calls
 * reach the video driver. Tests put their own function in place to watch the
 * requests and answer them without a device. */
#ifndef CAM_IOCTL_H
#define CAM_IOCTL_H

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*cam_ioctl_fn)(int fd, unsigned long request, void *arg);

/* ioctl(2), or the function set with cam_set_ioctl. */
int cam_ioctl(int fd, unsigned long request, void *arg);

/* Routes every later request to fn (NULL: back to the driver). Returns the
 * function that was in place before. Not thread-safe: set it before use. */
cam_ioctl_fn cam_set_ioctl(cam_ioctl_fn fn);

#ifdef __cplusplus
}
#endif

#endif
