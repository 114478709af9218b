/*
 * gyrotap: the camera's six-axis motion sensor (accelerometer and gyroscope
 * at 0x68) on its own bit-banged two-wire bus, as the misc device
 * "/dev/gyrotap".  Each read returns one fresh sample of all six axes.
 *
 * A read's twelve bus transactions never interleave with another reader's:
 * gyrotap_lock is held for the whole sample.  A sample during which the
 * sensor missed an acknowledge is not handed out: the read fails with -EIO.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/fs.h>
#include <linux/miscdevice.h>
#include <linux/gpio.h>
#include <linux/delay.h>
#include <linux/timer.h>
#include <linux/jiffies.h>
#include <linux/mutex.h>
#include <linux/errno.h>
#include <linux/uaccess.h>
#include <mach/gpio.h>
#include <plat/gpio-cfg.h>

#include "gyrotap.h"

#define MPU_SDA_PIN 105
#define MPU_SCL_PIN 106

/* __const_udelay() arguments: 1, 2, 3 and 4 us at HZ = 200. */
#define MPU_T1 214748UL
#define MPU_T2 429496UL
#define MPU_T3 644244UL
#define MPU_T4 858992UL

#define MPU_WAIT(t) __const_udelay(t)
#define MPU_ACK_SAMPLES 251

#define MPU_SDA_OUT() s3c_gpio_cfgpin(MPU_SDA_PIN, S3C_GPIO_OUTPUT)
#define MPU_SDA_IN() s3c_gpio_cfgpin(MPU_SDA_PIN, S3C_GPIO_INPUT)
#define MPU_SDA(v) gpio_set_value(MPU_SDA_PIN, (v))
#define MPU_SCL(v) gpio_set_value(MPU_SCL_PIN, (v))
#define MPU_READ_SDA() gpio_get_value(MPU_SDA_PIN)

/* Sensor registers */
#define MPU_SAMPLE_RATE_REG 0x19
#define MPU_CFG_REG 0x1A
#define MPU_GYRO_CFG_REG 0x1B
#define MPU_ACCEL_CFG_REG 0x1C
#define MPU_ACCEL_XOUTH_REG 0x3B
#define MPU_ACCEL_YOUTH_REG 0x3D
#define MPU_ACCEL_ZOUTH_REG 0x3F
#define MPU_GYRO_XOUTH_REG 0x43
#define MPU_GYRO_YOUTH_REG 0x45
#define MPU_GYRO_ZOUTH_REG 0x47
#define MPU_PWR_MGMT1_REG 0x6B
#define MPU_DEVICE_ID_REG 0x75

#define MPU_WRITE_ADDR 0xD0	/* 0x68, write; reads use 0xD1 */

static unsigned char SlaveAddress;

static DEFINE_MUTEX(gyrotap_lock);

/* Missed acknowledges since the current sample began; guarded by gyrotap_lock. */
static int errAck;

static struct timer_list timer;
static struct GyroRawSample gyrotap_core;

/* ---- bit-banged bus ---- */

static void MPU_IIC_Init(void)
{
	int ret;

	gpio_free(MPU_SDA_PIN);
	gpio_free(MPU_SCL_PIN);

	ret = gpio_request(MPU_SDA_PIN, "SDA");
	if (ret) {
		printk("IIC: request GPIO MPU_SDA_PIN for SDA failed, ret = %d\n", ret);
		gpio_free(MPU_SDA_PIN);
		return;
	}
	ret = gpio_request(MPU_SCL_PIN, "SCL");
	if (ret) {
		printk("IIC: request GPIO MPU_SCL_PIN for SCL failed, ret = %d\n", ret);
		gpio_free(MPU_SCL_PIN);
		return;
	}
	s3c_gpio_cfgpin(MPU_SDA_PIN, S3C_GPIO_OUTPUT);
	s3c_gpio_cfgpin(MPU_SCL_PIN, S3C_GPIO_OUTPUT);
}

static void MPU_IIC_Exit(void)
{
	gpio_free(MPU_SDA_PIN);
	gpio_free(MPU_SCL_PIN);
}

static void MPU_IIC_Start(void)
{
	MPU_SDA_OUT();
	MPU_SDA(1);
	MPU_SCL(1);
	MPU_WAIT(MPU_T4);
	MPU_SDA(0);
	MPU_WAIT(MPU_T4);
	MPU_SCL(0);
	MPU_WAIT(MPU_T4);
}

static void MPU_IIC_Stop(void)
{
	MPU_SDA_OUT();
	MPU_SCL(0);
	MPU_SDA(0);
	MPU_WAIT(MPU_T4);
	MPU_SCL(1);
	MPU_SDA(1);
	MPU_WAIT(MPU_T4);
}

/* 0 when the sensor pulled SDA low, 1 (after a stop condition) when not. */
static unsigned char MPU_IIC_Wait_Ack(void)
{
	int samples = 0;

	MPU_SDA_IN();
	MPU_SDA(1);
	MPU_WAIT(MPU_T4);
	MPU_SCL(1);
	MPU_WAIT(MPU_T4);
	while (MPU_READ_SDA()) {
		if (++samples >= MPU_ACK_SAMPLES) {
			MPU_IIC_Stop();
			return 1;
		}
	}
	MPU_SCL(0);
	return 0;
}

static void MPU_IIC_Ack(void)
{
	MPU_SCL(0);
	MPU_SDA_OUT();
	MPU_SDA(1);
	MPU_WAIT(MPU_T3);
	MPU_SCL(1);
	MPU_WAIT(MPU_T3);
	MPU_SCL(0);
}

static unsigned char MPU_IIC_Send_Byte(unsigned char byte)
{
	int i;

	MPU_SDA_OUT();
	MPU_SCL(0);
	for (i = 0; i < 8; i++) {
		MPU_SDA((byte & 0x80) >> 7);
		byte <<= 1;
		MPU_WAIT(MPU_T3);
		MPU_SCL(1);
		MPU_WAIT(MPU_T3);
		MPU_SCL(0);
		MPU_WAIT(MPU_T3);
	}
	return MPU_IIC_Wait_Ack();
}

static unsigned char MPU_IIC_Read_Byte(unsigned char ack)
{
	unsigned char i, receive = 0;

	MPU_SDA_IN();
	for (i = 0; i < 8; i++) {
		MPU_SCL(0);
		MPU_WAIT(MPU_T2);
		MPU_SCL(1);
		receive <<= 1;
		if (MPU_READ_SDA())
			receive++;
		MPU_WAIT(MPU_T1);
	}
	if (ack)
		MPU_IIC_Ack();
	return receive;
}

/* ---- register access ---- */

static void Single_WriteIIC(unsigned char reg, unsigned char value)
{
	MPU_IIC_Start();
	MPU_IIC_Send_Byte(SlaveAddress);
	MPU_IIC_Send_Byte(reg);
	MPU_IIC_Send_Byte(value);
	MPU_IIC_Stop();
}

static unsigned char Single_ReadIIC(unsigned char reg)
{
	unsigned char value;

	MPU_IIC_Start();
	if (MPU_IIC_Send_Byte(SlaveAddress))
		errAck = 1;
	if (MPU_IIC_Send_Byte(reg))
		errAck = 1;
	MPU_IIC_Start();
	if (MPU_IIC_Send_Byte(SlaveAddress + 1))
		errAck = 1;
	value = MPU_IIC_Read_Byte(0);
	MPU_IIC_Stop();
	return value;
}

static s16 getdata_gyrotap(unsigned char reg)
{
	unsigned char high, low;

	SlaveAddress = MPU_WRITE_ADDR;
	high = Single_ReadIIC(reg);
	low = Single_ReadIIC(reg + 1);
	return (s16)((high << 8) | low);
}

static int __maybe_unused MPU_Set_LPF(u16 lpf)
{
	u8 data;

	if (lpf >= 188)
		data = 1;
	else if (lpf >= 98)
		data = 2;
	else if (lpf >= 42)
		data = 3;
	else if (lpf >= 20)
		data = 4;
	else if (lpf >= 10)
		data = 5;
	else
		data = 6;
	Single_WriteIIC(MPU_CFG_REG, data);
	return 0;
}

static int __maybe_unused MPU_Set_Rate(u16 rate)
{
	if (rate > 1000)
		rate = 1000;
	if (rate < 4)
		rate = 4;
	Single_WriteIIC(MPU_SAMPLE_RATE_REG, 1000 / rate - 1);
	MPU_Set_LPF(rate / 2);
	return 0;
}

static void InitGYROTAP(void)
{
	SlaveAddress = MPU_WRITE_ADDR;
	Single_WriteIIC(MPU_PWR_MGMT1_REG, 0x80);
	msleep(50);
	Single_WriteIIC(MPU_PWR_MGMT1_REG, 0x00);
	msleep(50);
	Single_ReadIIC(MPU_DEVICE_ID_REG);
	Single_WriteIIC(MPU_SAMPLE_RATE_REG, 7);
	Single_WriteIIC(MPU_CFG_REG, 6);
	Single_WriteIIC(MPU_ACCEL_CFG_REG, 0x00);
	Single_WriteIIC(MPU_GYRO_CFG_REG, 0x18);
}

static void gyrotap_read_act(struct GyroRawSample *s)
{
	s->x_accel = getdata_gyrotap(MPU_ACCEL_XOUTH_REG);
	s->y_accel = getdata_gyrotap(MPU_ACCEL_YOUTH_REG);
	s->z_accel = getdata_gyrotap(MPU_ACCEL_ZOUTH_REG);
	s->x_gyro = getdata_gyrotap(MPU_GYRO_XOUTH_REG);
	s->y_gyro = getdata_gyrotap(MPU_GYRO_YOUTH_REG);
	s->z_gyro = getdata_gyrotap(MPU_GYRO_ZOUTH_REG);
}

/* ---- diagnostic timer (never armed by the module) ---- */

static void timer_function(unsigned long para)
{
	printk("<0>Timer Expired and para is %d !!\n", (int)para);
	printk(" ACCEL_CONFIG  %d\n", Single_ReadIIC(MPU_ACCEL_CFG_REG));
	gyrotap_core.x_accel = getdata_gyrotap(MPU_ACCEL_XOUTH_REG);
	gyrotap_core.y_accel = getdata_gyrotap(MPU_ACCEL_YOUTH_REG);
	gyrotap_core.z_accel = getdata_gyrotap(MPU_ACCEL_ZOUTH_REG);
	printk(" ACCEL_XOUT  %d\n", gyrotap_core.x_accel);
	printk(" ACCEL_YOUT  %d\n", gyrotap_core.y_accel);
	printk(" ACCEL_ZOUT  %d\n", gyrotap_core.z_accel);
	mod_timer(&timer, jiffies + 1000);
}

static void __maybe_unused timer_init(void)
{
	mod_timer(&timer, jiffies + 1000);
}

/* ---- device file ---- */

static int gyrotap_open(struct inode *inode, struct file *filp)
{
	return nonseekable_open(inode, filp);
}

static int gyrotap_release(struct inode *inode __always_unused,
			   struct file *filp __always_unused)
{
	return 0;
}

static ssize_t gyrotap_read(struct file *filp __always_unused,
			    char __user *buf, size_t count,
			    loff_t *ppos __always_unused)
{
	struct GyroRawSample sample;
	int missed;

	if (count < sizeof(sample))
		return -EINVAL;

	if (mutex_lock_interruptible(&gyrotap_lock))
		return -ERESTARTSYS;
	errAck = 0;
	gyrotap_read_act(&sample);
	missed = errAck;
	mutex_unlock(&gyrotap_lock);

	/* The bits of a sensor that did not answer are no sample. */
	if (missed)
		return -EIO;

	if (copy_to_user(buf, &sample, sizeof(sample)))
		return -EFAULT;
	return 0;
}

static const struct file_operations gyrotap_fops = {
	.owner = THIS_MODULE,
	.read = gyrotap_read,
	.open = gyrotap_open,
	.release = gyrotap_release,
};

static struct miscdevice gyrotap_device = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "gyrotap",
	.fops = &gyrotap_fops,
};

static int __init gyrotap_dev_init(void)
{
	int ret;

	BUILD_BUG_ON(sizeof(struct GyroRawSample) != 24);

	setup_timer(&timer, timer_function, 5);

	MPU_IIC_Init();

	mutex_lock(&gyrotap_lock);
	InitGYROTAP();
	mutex_unlock(&gyrotap_lock);

	ret = misc_register(&gyrotap_device);
	if (ret)
		MPU_IIC_Exit();	/* the module is not kept */
	return ret;
}

static void __exit gyrotap_dev_exit(void)
{
	MPU_IIC_Exit();
	del_timer(&timer);
	misc_deregister(&gyrotap_device);
	printk("gyrotap_dev_exit ~~~~\n");
}

module_init(gyrotap_dev_init);
module_exit(gyrotap_dev_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Six-axis motion sensor on a bit-banged two-wire bus");
