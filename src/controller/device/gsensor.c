/* Motion-sensor access over its device node. */
#include "device/gsensor.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

static int mpu_fd_ = -1;

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
