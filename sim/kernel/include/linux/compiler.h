/* Host kernel layer: compiler annotations. */
#ifndef _VK_LINUX_COMPILER_H
#define _VK_LINUX_COMPILER_H

#define __user
#define __iomem
#define __force
#define __maybe_unused __attribute__((unused))
#define __always_unused __attribute__((unused))
#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)

#endif
