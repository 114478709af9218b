/* Host kernel layer: module declarations. */
#ifndef _VK_LINUX_MODULE_H
#define _VK_LINUX_MODULE_H

#include <linux/types.h>
#include <linux/init.h>

struct module;

#define THIS_MODULE ((struct module *)0)

#define MODULE_LICENSE(text)                                               \
	extern const char __vk_cat(vk_modlicense_, VK_MODNAME)[];          \
	const char __vk_cat(vk_modlicense_, VK_MODNAME)[] = text
#define MODULE_AUTHOR(text)
#define MODULE_DESCRIPTION(text)

#endif
