/* Host kernel layer: GPIO pins by number. */
#ifndef _VK_LINUX_GPIO_H
#define _VK_LINUX_GPIO_H

#include <linux/types.h>

int gpio_request(unsigned int gpio, const char *label);
void gpio_free(unsigned int gpio);
int gpio_direction_input(unsigned int gpio);
int gpio_direction_output(unsigned int gpio, int value);
int gpio_get_value(unsigned int gpio);
void gpio_set_value(unsigned int gpio, int value);

#endif
