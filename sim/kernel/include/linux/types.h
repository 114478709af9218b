/* Host kernel layer: basic kernel types. */
#ifndef _VK_LINUX_TYPES_H
#define _VK_LINUX_TYPES_H

#include <stddef.h>
#include <linux/compiler.h>

typedef unsigned char u8;
typedef unsigned short u16;
typedef unsigned int u32;
typedef unsigned long long u64;
typedef signed char s8;
typedef short s16;
typedef int s32;
typedef long long s64;

typedef u8 __u8;
typedef u16 __u16;
typedef u32 __u32;
typedef s16 __s16;
typedef s32 __s32;

#ifndef __cplusplus
typedef _Bool bool;
#define true 1
#define false 0
#endif

typedef long ssize_t;
typedef long long loff_t;
typedef unsigned int fmode_t;
typedef unsigned int gfp_t;

#endif
