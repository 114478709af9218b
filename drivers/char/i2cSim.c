/*
 * Bit-banged two-wire bus of the OLED panel (SDA on GPIO 110, SCL on 111).
 */
#include <linux/kernel.h>
#include <linux/gpio.h>
#include <linux/delay.h>
#include <mach/gpio.h>
#include <plat/gpio-cfg.h>

#include "i2cSim.h"

#define SDA_OUT() s3c_gpio_cfgpin(SDA_PIN, S3C_GPIO_OUTPUT)
#define SDA_IN() s3c_gpio_cfgpin(SDA_PIN, S3C_GPIO_INPUT)
#define SDA(v) gpio_set_value(SDA_PIN, (v))
#define SCL(v) gpio_set_value(SCL_PIN, (v))
#define READ_SDA() gpio_get_value(SDA_PIN)

void OLED_SCL(int level)
{
	SCL(level);
}

void OLED_IIC_Init(void)
{
	int ret;

	gpio_free(SDA_PIN);
	gpio_free(SCL_PIN);

	ret = gpio_request(SDA_PIN, "SDA");
	if (ret) {
		printk("IIC: request GPIO SDA_PIN for SDA failed, ret = %d\n", ret);
		gpio_free(SDA_PIN);
		return;
	}
	ret = gpio_request(SCL_PIN, "SCL");
	if (ret) {
		printk("IIC: request GPIO SCL_PIN for SCL failed, ret = %d\n", ret);
		gpio_free(SCL_PIN);
		return;
	}
	s3c_gpio_cfgpin(SDA_PIN, S3C_GPIO_OUTPUT);
	s3c_gpio_cfgpin(SCL_PIN, S3C_GPIO_OUTPUT);
}

void OLED_IIC_Exit(void)
{
	gpio_free(SDA_PIN);
	gpio_free(SCL_PIN);
}

void OLED_IIC_Start(void)
{
	SDA_OUT();
	SDA(1);
	SCL(1);
	IIC_WAIT(IIC_T4);
	SDA(0);
	IIC_WAIT(IIC_T4);
	SCL(0);
	IIC_WAIT(IIC_T4);
}

void OLED_IIC_Stop(void)
{
	SDA_OUT();
	SCL(0);
	SDA(0);
	IIC_WAIT(IIC_T4);
	SCL(1);
	SDA(1);
	IIC_WAIT(IIC_T4);
}

void OLED_IIC_Send_Byte(unsigned char byte)
{
	int i;

	SDA_OUT();
	SCL(0);
	for (i = 0; i < 8; i++) {
		SDA((byte & 0x80) >> 7);
		byte <<= 1;
		IIC_WAIT(IIC_T3);
		SCL(1);
		IIC_WAIT(IIC_T3);
		SCL(0);
		IIC_WAIT(IIC_T3);
	}
}

/* 0 when the slave pulled SDA low, 1 (after a stop condition) when not. */
unsigned char OLED_IIC_Wait_Ack(void)
{
	int samples = 0;

	SDA_IN();
	SDA(1);
	IIC_WAIT(IIC_T4);
	SCL(1);
	IIC_WAIT(IIC_T4);
	while (READ_SDA()) {
		if (++samples >= IIC_ACK_SAMPLES) {
			OLED_IIC_Stop();
			return 1;
		}
	}
	SCL(0);
	return 0;
}

void OLED_IIC_Ack(void)
{
	SCL(0);
	SDA_OUT();
	SDA(1);
	IIC_WAIT(IIC_T3);
	SCL(1);
	IIC_WAIT(IIC_T3);
	SCL(0);
}

unsigned char OLED_IIC_Read_Byte(unsigned char ack)
{
	unsigned char i, receive = 0;

	SDA_IN();
	for (i = 0; i < 8; i++) {
		SCL(0);
		IIC_WAIT(IIC_T2);
		SCL(1);
		receive <<= 1;
		if (READ_SDA())
			receive++;
		IIC_WAIT(IIC_T1);
	}
	if (ack)
		OLED_IIC_Ack();
	return receive;
}
