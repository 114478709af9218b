/* Host kernel layer: the board's GPIO numbering (pins are plain numbers). */
#ifndef _VK_MACH_GPIO_H
#define _VK_MACH_GPIO_H

#include <linux/gpio.h>

#endif
