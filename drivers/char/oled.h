/*
 * OLED panel driver: ioctl records and command numbers of "/dev/oled".
 *
 * On the board (32-bit ARM) wordParam is 12 bytes and matrixParam 16; the
 * user pointers are as wide as the machine's pointers.
 */
#ifndef _OLED_H
#define _OLED_H

#include <linux/types.h>
#include <linux/ioctl.h>

#define OLED_WIDTH 128
#define OLED_PAGES 8

/* Longest text the user side sends, without its NUL. */
#define OLED_TEXT_MAX 15

struct posParam {
	u8 x;	/* first column */
	u8 y;	/* pixel row; page y / 8 is drawn */
};

struct wordParam {
	struct posParam pos;
	int large;	/* 0 narrow 6x16; 1 wide 8x16; 2 wide, underlined */
	char __user *num;
};

struct matrixParam {
	int reverse;	/* non-zero: every byte sent inverted */
	char *name;	/* not read by the driver */
	struct posParam pos;
	u8 width;	/* columns */
	u8 height;	/* pixel rows; height / 8 pages are drawn */
	const u8 *matrix;
};

#define OLED_IOC_MAGIC 'O'
#define OLED_IOC_MAXNR 10

#define OLED_IOC_FILL _IOW(OLED_IOC_MAGIC, 0, u8)
#define OLED_IOC_NUM _IOW(OLED_IOC_MAGIC, 1, int)
#define OLED_IOC_MATRIX _IOW(OLED_IOC_MAGIC, 2, int)

#endif
