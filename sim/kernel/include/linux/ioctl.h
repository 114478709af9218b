/* Host kernel layer: ioctl command encoding (number, type, size, direction). */
#ifndef _VK_LINUX_IOCTL_H
#define _VK_LINUX_IOCTL_H

#define _IOC_NRBITS 8
#define _IOC_TYPEBITS 8
#define _IOC_SIZEBITS 14
#define _IOC_DIRBITS 2

#define _IOC_NRSHIFT 0
#define _IOC_TYPESHIFT (_IOC_NRSHIFT + _IOC_NRBITS)
#define _IOC_SIZESHIFT (_IOC_TYPESHIFT + _IOC_TYPEBITS)
#define _IOC_DIRSHIFT (_IOC_SIZESHIFT + _IOC_SIZEBITS)

#define _IOC_NONE 0U
#define _IOC_WRITE 1U
#define _IOC_READ 2U

#define _IOC(dir, type, nr, size)                                          \
	(((dir) << _IOC_DIRSHIFT) | ((type) << _IOC_TYPESHIFT) |           \
	 ((nr) << _IOC_NRSHIFT) | ((size) << _IOC_SIZESHIFT))

#define _IO(type, nr) _IOC(_IOC_NONE, (type), (nr), 0)
#define _IOW(type, nr, t) _IOC(_IOC_WRITE, (type), (nr), sizeof(t))
#define _IOR(type, nr, t) _IOC(_IOC_READ, (type), (nr), sizeof(t))

#define _IOC_NR(cmd) (((cmd) >> _IOC_NRSHIFT) & ((1U << _IOC_NRBITS) - 1))
#define _IOC_TYPE(cmd) (((cmd) >> _IOC_TYPESHIFT) & ((1U << _IOC_TYPEBITS) - 1))
#define _IOC_SIZE(cmd) (((cmd) >> _IOC_SIZESHIFT) & ((1U << _IOC_SIZEBITS) - 1))
#define _IOC_DIR(cmd) (((cmd) >> _IOC_DIRSHIFT) & ((1U << _IOC_DIRBITS) - 1))

#endif
