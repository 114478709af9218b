#include "cam_ioctl.h"

#include <sys/ioctl.h>

static cam_ioctl_fn ioctl_hook;

int cam_ioctl(int fd, unsigned long request, void *arg)
{
	if (ioctl_hook)
		return ioctl_hook(fd, request, arg);
	return ioctl(fd, request, arg);
}

cam_ioctl_fn cam_set_ioctl(cam_ioctl_fn fn)
{
	cam_ioctl_fn old = ioctl_hook;

	ioctl_hook = fn;
	return old;
}
