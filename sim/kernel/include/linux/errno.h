/* Host kernel layer: error numbers the drivers return. */
#ifndef _VK_LINUX_ERRNO_H
#define _VK_LINUX_ERRNO_H

#define EPERM 1
#define ENOENT 2
#define EIO 5
#define ENXIO 6
#define EBADF 9
#define ENOMEM 12
#define EFAULT 14
#define EBUSY 16
#define EEXIST 17
#define ENODEV 19
#define EINVAL 22
#define ENOTTY 25
#define ERESTARTSYS 512

#endif
