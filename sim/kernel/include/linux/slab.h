/* Host kernel layer: kernel memory allocation. */
#ifndef _VK_LINUX_SLAB_H
#define _VK_LINUX_SLAB_H

#include <linux/types.h>

#define GFP_KERNEL 0xd0U

void *kmalloc(size_t size, gfp_t flags);
void *kzalloc(size_t size, gfp_t flags);
void kfree(const void *p);

#endif
