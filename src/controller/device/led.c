/* LED access over its device node. */
#include "device/led.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

static int led_fd_ = -1;

int led_open(void)
{
    led_fd_ = open(LED_DEVICE, O_RDWR);
    if (led_fd_ < 0)
        perror("error opening oled\n");
    return led_fd_;
}

int led_fd(void) { return led_fd_; }

int led_set(int led, int color)
{
    unsigned char b = (unsigned char)((0x10 << led) | color);
    ssize_t n = write(led_fd_, &b, 1);
    (void)n;
    return 0;
}

int led_close(void)
{
    if (led_fd_ >= 0)
        close(led_fd_);
    led_fd_ = -1;
    return 0;
}
