/* Host kernel layer: Samsung pin configuration. */
#ifndef _VK_PLAT_GPIO_CFG_H
#define _VK_PLAT_GPIO_CFG_H

#define S3C_GPIO_INPUT 0x0U
#define S3C_GPIO_OUTPUT 0x1U
#define S3C_GPIO_SFN(x) (x)

int s3c_gpio_cfgpin(unsigned int pin, unsigned int to);

#endif
