/* Host kernel layer: string and memory helpers. */
#ifndef _VK_LINUX_STRING_H
#define _VK_LINUX_STRING_H

#include <linux/types.h>

void *memset(void *s, int c, size_t n);
void *memcpy(void *dst, const void *src, size_t n);
size_t strlen(const char *s);
int strcmp(const char *a, const char *b);
char *strrchr(const char *s, int c);

#endif
