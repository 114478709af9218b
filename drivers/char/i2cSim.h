/*
 * Bit-banged two-wire bus of the OLED panel.
 *
 * SDA and SCL are plain GPIO pins toggled by the CPU; every wait is a
 * busy-wait in the caller's context.
 */
#ifndef _I2CSIM_H
#define _I2CSIM_H

#include <linux/delay.h>

#define SDA_PIN 110
#define SCL_PIN 111

/* __const_udelay() arguments: 1, 2, 3, 4 and 5 us at HZ = 200. */
#define IIC_T1 214748UL
#define IIC_T2 429496UL
#define IIC_T3 644244UL
#define IIC_T4 858992UL
#define IIC_T5 1073740UL

#define IIC_WAIT(t) __const_udelay(t)

/* Samples of SDA taken while waiting for an acknowledge. */
#define IIC_ACK_SAMPLES 251

void OLED_IIC_Init(void);
void OLED_IIC_Exit(void);
void OLED_IIC_Start(void);
void OLED_IIC_Stop(void);
void OLED_IIC_Send_Byte(unsigned char byte);
unsigned char OLED_IIC_Wait_Ack(void);
unsigned char OLED_IIC_Read_Byte(unsigned char ack);
void OLED_IIC_Ack(void);

void OLED_SCL(int level);

#endif
