/*
 * oledpanel: the camera's 128x64 OLED panel (SSD1306 command set) on a
 * bit-banged two-wire bus, as the misc device "/dev/oled".
 *
 * ioctls: fill the screen, draw a text of digits and a few symbols in one
 * of two fonts, draw a 1-bit page-major bitmap.  The module resets the
 * panel, sets it up and draws the start-up logo when it loads.
 *
 * Bus transactions of one drawing call never interleave with another
 * caller's: oled_lock is held for each call's whole bus traffic.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/fs.h>
#include <linux/miscdevice.h>
#include <linux/gpio.h>
#include <linux/delay.h>
#include <linux/mutex.h>
#include <linux/errno.h>
#include <linux/uaccess.h>
#include <mach/gpio.h>
#include <plat/gpio-cfg.h>

#include "i2cSim.h"
#include "oled.h"
#include "oledfont.h"

#define OLED_RST_PIN 49

#define OLED_ADDR 0x78		/* 0x3C, write */
#define OLED_CTRL_CMD 0x00
#define OLED_CTRL_DATA 0x40

/* SSD1306 commands; the address commands take their value in the low bits */
#define SSD1306_SET_LOW_COLUMN		0x00	/* | low nibble of the column */
#define SSD1306_SET_HIGH_COLUMN		0x10	/* | high nibble of the column */
#define SSD1306_SET_ADDRESS_MODE	0x20
#define SSD1306_ADDRESS_MODE_PAGE	0x02
#define SSD1306_SET_START_LINE		0x40	/* | display start line */
#define SSD1306_SET_CONTRAST		0x81
#define SSD1306_CHARGE_PUMP		0x8D
#define SSD1306_CHARGE_PUMP_ON		0x14
#define SSD1306_SEG_REMAP_ON		0xA1	/* column 127 at SEG0 */
#define SSD1306_DISPLAY_FOLLOWS_RAM	0xA4
#define SSD1306_NORMAL_DISPLAY		0xA6
#define SSD1306_SET_MULTIPLEX_RATIO	0xA8
#define SSD1306_DISPLAY_OFF		0xAE
#define SSD1306_DISPLAY_ON		0xAF
#define SSD1306_SET_PAGE		0xB0	/* + page */
#define SSD1306_COM_SCAN_REMAPPED	0xC8
#define SSD1306_SET_DISPLAY_OFFSET	0xD3
#define SSD1306_SET_CLOCK		0xD5
#define SSD1306_SET_PRECHARGE		0xD9
#define SSD1306_SET_COM_PINS		0xDA
#define SSD1306_SET_VCOMH		0xDB

/* This panel's settings */
#define OLED_CONTRAST		0xCF
#define OLED_MULTIPLEX		(OLED_PAGES * 8 - 1)	/* 64 rows */
#define OLED_CLOCK		0x80	/* clock divide ratio, oscillator */
#define OLED_PRECHARGE		0xF1
#define OLED_COM_PINS		0x12
#define OLED_VCOMH		0x40

/* Set in every low column nibble sent: an even x addresses column x + 1. */
#define OLED_COLUMN_BIT0	0x01

#define NUM6X16_GLYPHS ARRAY_SIZE(NUM6X16)
#define NUM8X16_GLYPHS ARRAY_SIZE(NUM8X16)

static int openCount;

/* Missed acknowledges since the current drawing call began. */
static int errSCMD, errWCMD, errSDAT, errWDAT;

static DEFINE_MUTEX(oled_lock);

/* Bitmap bytes copied in from the caller; guarded by oled_lock. */
static u8 matrix_buf[OLED_PAGES * OLED_WIDTH];

static const unsigned char oled_setup[] = {
	SSD1306_DISPLAY_OFF,
	SSD1306_SET_LOW_COLUMN | 0, SSD1306_SET_HIGH_COLUMN | 0,
	SSD1306_SET_START_LINE | 0,
	SSD1306_SET_CONTRAST, OLED_CONTRAST,
	SSD1306_SEG_REMAP_ON,
	SSD1306_COM_SCAN_REMAPPED,
	SSD1306_NORMAL_DISPLAY,
	SSD1306_SET_MULTIPLEX_RATIO, OLED_MULTIPLEX,
	SSD1306_SET_DISPLAY_OFFSET, 0,
	SSD1306_SET_CLOCK, OLED_CLOCK,
	SSD1306_SET_PRECHARGE, OLED_PRECHARGE,
	SSD1306_SET_COM_PINS, OLED_COM_PINS,
	SSD1306_SET_VCOMH, OLED_VCOMH,
	SSD1306_SET_ADDRESS_MODE, SSD1306_ADDRESS_MODE_PAGE,
	SSD1306_CHARGE_PUMP, SSD1306_CHARGE_PUMP_ON,
	SSD1306_DISPLAY_FOLLOWS_RAM,
	SSD1306_NORMAL_DISPLAY,
	SSD1306_DISPLAY_ON,
};

static void OLED_START_CMD(void)
{
	OLED_IIC_Start();
	OLED_IIC_Send_Byte(OLED_ADDR);
	if (OLED_IIC_Wait_Ack())
		errSCMD = 1;
	OLED_IIC_Send_Byte(OLED_CTRL_CMD);
	if (OLED_IIC_Wait_Ack())
		errSCMD = 1;
}

static void OLED_WRCMD(unsigned char cmd)
{
	OLED_IIC_Send_Byte(cmd);
	if (OLED_IIC_Wait_Ack())
		errWCMD = 1;
}

static void OLED_START_DATA(void)
{
	OLED_IIC_Start();
	OLED_IIC_Send_Byte(OLED_ADDR);
	if (OLED_IIC_Wait_Ack())
		errSDAT = 1;
	OLED_IIC_Send_Byte(OLED_CTRL_DATA);
	if (OLED_IIC_Wait_Ack())
		errSDAT = 1;
}

static void OLED_WRDATA(unsigned char data)
{
	OLED_IIC_Send_Byte(data);
	if (OLED_IIC_Wait_Ack())
		errWDAT = 1;
}

static void oled_clear_errors(void)
{
	errSCMD = errWCMD = errSDAT = errWDAT = 0;
}

static int oled_bus_error(void)
{
	return errSCMD || errWCMD || errSDAT || errWDAT;
}

/*
 * Pages are taken modulo 8, as the panel decodes them: a drawing that runs
 * past page 7 wraps to the top instead of turning into another command.
 * The low column nibble keeps bit 0 set: an even x addresses column x + 1.
 */
static void OLED_Setxy(unsigned char x, unsigned int page)
{
	OLED_START_CMD();
	OLED_WRCMD(SSD1306_SET_PAGE + (page & (OLED_PAGES - 1)));
	OLED_WRCMD(SSD1306_SET_HIGH_COLUMN | (x >> 4));
	OLED_WRCMD(SSD1306_SET_LOW_COLUMN | (x & 0x0F) | OLED_COLUMN_BIT0);
	OLED_IIC_Stop();
}

static void OLED_Fill(unsigned char v)
{
	unsigned int page, col;

	for (page = 0; page < OLED_PAGES; page++) {
		OLED_START_CMD();
		OLED_WRCMD(SSD1306_SET_PAGE + page);
		OLED_WRCMD(SSD1306_SET_LOW_COLUMN | OLED_COLUMN_BIT0);
		OLED_WRCMD(SSD1306_SET_HIGH_COLUMN);
		OLED_IIC_Stop();

		OLED_START_DATA();
		for (col = 0; col < OLED_WIDTH; col++)
			OLED_WRDATA(v);
		OLED_IIC_Stop();
	}
}

static int glyph_index(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	switch (c) {
	case '.':
		return 10;
	case ' ':
		return 11;
	case ':':
		return 12;
	case '/':
		return 13;
	case 'K':
	case 'k':
		return 14;
	case 'M':
	case 'm':
		return 15;
	case 'G':
	case 'g':
		return 16;
	}
	return -1;
}

/* The glyph of c in the chosen font, or NULL when the font has none. */
static const unsigned char *glyph(char c, int large)
{
	int idx = glyph_index(c);

	if (idx < 0)
		return NULL;
	if (large) {
		if ((unsigned int)idx >= NUM8X16_GLYPHS)
			return NULL;
		return NUM8X16[idx];
	}
	if ((unsigned int)idx >= NUM6X16_GLYPHS)
		return NULL;
	return NUM6X16[idx];
}

static void OLED_Num(const struct wordParam *wp, const char *text)
{
	unsigned int w = wp->large ? 8 : 6;
	unsigned int page = wp->pos.y / 8;
	const unsigned char *g;
	const char *p;
	unsigned int i;
	unsigned char b;

	OLED_Setxy(wp->pos.x, page);
	OLED_START_DATA();
	for (p = text; *p; p++) {
		g = glyph(*p, wp->large);
		if (!g)
			continue;
		for (i = 0; i < w; i++)
			OLED_WRDATA(g[i]);
	}
	OLED_IIC_Stop();

	OLED_Setxy(wp->pos.x, page + 1);
	OLED_START_DATA();
	for (p = text; *p; p++) {
		g = glyph(*p, wp->large);
		if (!g)
			continue;
		for (i = 0; i < w; i++) {
			b = g[w + i];
			if (wp->large == 1)
				b &= 0x7F;
			else if (wp->large == 2)
				b |= 0x80;
			OLED_WRDATA(b);
		}
	}
	OLED_IIC_Stop();
}

static void OLED_Matrix(const struct matrixParam *mp)
{
	unsigned int pages = mp->height / 8;
	unsigned int page = mp->pos.y / 8;
	const u8 *data = mp->matrix;
	unsigned int i, j;
	u8 b;

	if (mp->pos.x + mp->width > 127) {
		printk("oled\twarning: position out of bound\n");
		return;
	}
	for (i = 0; i < pages; i++) {
		OLED_Setxy(mp->pos.x, page + i);
		OLED_START_DATA();
		for (j = 0; j < mp->width; j++) {
			b = *data++;
			if (mp->reverse)
				b ^= 0xFF;
			OLED_WRDATA(b);
		}
		OLED_IIC_Stop();
	}
}

static void OLED_Init(void)
{
	unsigned int i;

	OLED_SCL(1);
	gpio_set_value(OLED_RST_PIN, 0);
	IIC_WAIT(IIC_T5);
	gpio_set_value(OLED_RST_PIN, 1);

	OLED_START_CMD();
	for (i = 0; i < ARRAY_SIZE(oled_setup); i++)
		OLED_WRCMD(oled_setup[i]);
	OLED_IIC_Stop();

	OLED_Fill(0x00);
	OLED_Setxy(0, 0);
}

static long oled_ioc_num(const void __user *argp)
{
	struct wordParam wp;
	char text[OLED_TEXT_MAX + 1];
	long len;
	long ret = 0;

	if (copy_from_user(&wp, argp, sizeof(wp)))
		return -EFAULT;
	len = strncpy_from_user(text, wp.num, sizeof(text));
	if (len < 0)
		return -EFAULT;
	if (len > OLED_TEXT_MAX)
		return -EINVAL;

	if (mutex_lock_interruptible(&oled_lock))
		return -ERESTARTSYS;
	oled_clear_errors();
	OLED_Num(&wp, text);
	if (oled_bus_error())
		ret = -EIO;
	mutex_unlock(&oled_lock);
	return ret;
}

static long oled_ioc_matrix(const void __user *argp)
{
	struct matrixParam mp;
	unsigned int size;
	long ret = 0;

	if (copy_from_user(&mp, argp, sizeof(mp)))
		return -EFAULT;
	/* No more pages than the panel has. */
	if (mp.height / 8 > OLED_PAGES)
		return -EINVAL;
	if (mp.pos.x + mp.width > 127) {
		printk("oled\twarning: position out of bound\n");
		return 0;
	}
	size = (mp.height / 8) * mp.width;

	if (mutex_lock_interruptible(&oled_lock))
		return -ERESTARTSYS;
	if (copy_from_user(matrix_buf, mp.matrix, size)) {
		ret = -EFAULT;
		goto out;
	}
	mp.matrix = matrix_buf;
	oled_clear_errors();
	OLED_Matrix(&mp);
	if (oled_bus_error())
		ret = -EIO;
out:
	mutex_unlock(&oled_lock);
	return ret;
}

static long oled_ioc_fill(unsigned long arg)
{
	unsigned char v;

	if (arg == 1)
		v = 0xFF;
	else if (arg == 0)
		v = 0x00;
	else
		return -EINVAL;

	if (mutex_lock_interruptible(&oled_lock))
		return -ERESTARTSYS;
	OLED_Fill(v);
	mutex_unlock(&oled_lock);
	return 0;
}

static long oled_ioctl(struct file *filp __always_unused, unsigned int cmd, unsigned long arg)
{
	if (_IOC_TYPE(cmd) != OLED_IOC_MAGIC)
		return -ENOTTY;
	if (_IOC_NR(cmd) > OLED_IOC_MAXNR)
		return -ENOTTY;

	switch (cmd) {
	case OLED_IOC_NUM:
		return oled_ioc_num((const void __user *)arg);
	case OLED_IOC_MATRIX:
		return oled_ioc_matrix((const void __user *)arg);
	case OLED_IOC_FILL:
		return oled_ioc_fill(arg);
	default:
		return 0;
	}
}

static int oled_open(struct inode *inode __always_unused,
		     struct file *filp __always_unused)
{
	mutex_lock(&oled_lock);
	if (openCount > 0)
		printk("oled\tOLED already open\n");
	openCount++;
	mutex_unlock(&oled_lock);
	return 0;
}

static int oled_close(struct inode *inode __always_unused,
		      struct file *filp __always_unused)
{
	int ret = 0;

	mutex_lock(&oled_lock);
	if (openCount == 0) {
		printk("oled\tOLED not opened\n");
		ret = -1;
	} else {
		openCount--;
	}
	mutex_unlock(&oled_lock);
	return ret;
}

static const struct file_operations oled_fops = {
	.owner = THIS_MODULE,
	.unlocked_ioctl = oled_ioctl,
	.open = oled_open,
	.release = oled_close,
};

static struct miscdevice oled_dev = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "oled",
	.fops = &oled_fops,
};

static int __init oled_init(void)
{
	struct matrixParam logo = {
		.reverse = 0,
		.name = "Panorbit Logo",
		.pos = { .x = 21, .y = 16 },
		.width = 88,
		.height = 48,
		.matrix = logologo,
	};
	int ret;

	/* The records' layout on the board (32-bit pointers). */
	BUILD_BUG_ON(sizeof(void *) == 4 && sizeof(struct wordParam) != 12);
	BUILD_BUG_ON(sizeof(void *) == 4 && sizeof(struct matrixParam) != 16);

	openCount = 0;

	gpio_free(OLED_RST_PIN);
	ret = gpio_request(OLED_RST_PIN, "OLED_RST");
	if (ret) {
		printk("oled\trequest GPIO %d for OLED_RST failed, ret = %d\n",
		       OLED_RST_PIN, ret);
		gpio_free(OLED_RST_PIN);
		return ret;
	}
	s3c_gpio_cfgpin(OLED_RST_PIN, S3C_GPIO_OUTPUT);

	OLED_IIC_Init();

	mutex_lock(&oled_lock);
	OLED_Init();
	OLED_Matrix(&logo);
	mutex_unlock(&oled_lock);

	ret = misc_register(&oled_dev);
	printk("oled\t\tinitialized\n");
	if (ret) {
		/* The module is not kept: give the pins back. */
		OLED_IIC_Exit();
		gpio_free(OLED_RST_PIN);
	}
	return ret;
}

static void __exit oled_exit(void)
{
	OLED_IIC_Exit();
	gpio_free(OLED_RST_PIN);
	misc_deregister(&oled_dev);
	printk("oled\t\tderegistered\n");
}

module_init(oled_init);
module_exit(oled_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("OLED panel on a bit-banged two-wire bus");
