/* Host kernel layer: printk and small helpers. */
#ifndef _VK_LINUX_KERNEL_H
#define _VK_LINUX_KERNEL_H

#include <stdarg.h>
#include <linux/types.h>
#include <linux/printk.h>

#define ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))
#define BUILD_BUG_ON(cond) ((void)sizeof(char[1 - 2 * !!(cond)]))

#endif
