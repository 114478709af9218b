/* Host kernel layer: files and file operations. */
#ifndef _VK_LINUX_FS_H
#define _VK_LINUX_FS_H

#include <linux/types.h>

struct module;

#define FMODE_READ 0x1U
#define FMODE_WRITE 0x2U
#define FMODE_LSEEK 0x4U
#define FMODE_PREAD 0x8U
#define FMODE_PWRITE 0x10U

struct inode {
	unsigned int i_rdev;
};

struct file {
	fmode_t f_mode;
	unsigned int f_flags;
	loff_t f_pos;
	const struct file_operations *f_op;
	void *private_data;
};

struct file_operations {
	struct module *owner;
	loff_t (*llseek)(struct file *, loff_t, int);
	ssize_t (*read)(struct file *, char __user *, size_t, loff_t *);
	ssize_t (*write)(struct file *, const char __user *, size_t, loff_t *);
	long (*unlocked_ioctl)(struct file *, unsigned int, unsigned long);
	int (*open)(struct inode *, struct file *);
	int (*release)(struct inode *, struct file *);
};

int nonseekable_open(struct inode *inode, struct file *filp);
loff_t no_llseek(struct file *file, loff_t offset, int whence);

#endif
