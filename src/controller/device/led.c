/* LED and motion-sensor access over their device nodes. */
#include "device/led.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

static int led_fd_ = -1;
static int mpu_fd_ = -1;

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

int mpuOpen(void)
{
    mpu_fd_ = open(GYRO_DEVICE, O_RDWR);
    if (mpu_fd_ < 0) {
        printf("err: open gyrotap err\n");
        return -1;
    }
    return 0;
}

void mpuClose(void)
{
    if (mpu_fd_ >= 0)
        close(mpu_fd_);
    mpu_fd_ = -1;
}

int mpuRead(gsensorData* out)
{
    GyroRawSample s;
    if (mpu_fd_ < 0 || read(mpu_fd_, &s, sizeof s) != 0)
        return -1;
    out->ax = s.x_accel / 16384.0;
    out->ay = s.y_accel / 16384.0;
    out->az = s.z_accel / 16384.0;
    out->gx = s.x_gyro / 16.384;
    out->gy = s.y_gyro / 16.384;
    out->gz = s.z_gyro / 16.384;
    return 0;
}
