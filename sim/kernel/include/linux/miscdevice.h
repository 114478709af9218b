/* Host kernel layer: misc character devices. */
#ifndef _VK_LINUX_MISCDEVICE_H
#define _VK_LINUX_MISCDEVICE_H

#include <linux/fs.h>

#define MISC_DYNAMIC_MINOR 255

struct miscdevice {
	int minor;
	const char *name;
	const struct file_operations *fops;
	/* host layer bookkeeping */
	struct miscdevice *vk_next;
	const char *vk_module;
	int vk_dynamic;
};

int misc_register(struct miscdevice *misc);
int misc_deregister(struct miscdevice *misc);

#endif
