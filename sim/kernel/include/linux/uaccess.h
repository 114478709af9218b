/* Host kernel layer: copies between kernel and user memory.  User pointers
 * are checked by the layer: a copy from or to memory the caller did not hand
 * over as user memory faults. */
#ifndef _VK_LINUX_UACCESS_H
#define _VK_LINUX_UACCESS_H

#include <linux/types.h>

unsigned long copy_from_user(void *to, const void __user *from, unsigned long n);
unsigned long copy_to_user(void __user *to, const void *from, unsigned long n);
long strncpy_from_user(char *dst, const char __user *src, long count);

#endif
