/* The motion sensor ("/dev/gyrotap", the gyrotap driver). */
#ifndef CONTROLLER_DEVICE_GSENSOR_H
#define CONTROLLER_DEVICE_GSENSOR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define GYRO_DEVICE "/dev/gyrotap"

/* One read of the motion sensor: raw counts. */
typedef struct {
    int32_t x_accel, y_accel, z_accel;
    int32_t x_gyro, y_gyro, z_gyro;
} GyroRawSample;

/* Acceleration in g, rotation in degrees per second. */
typedef struct {
    double ax, ay, az;
    double gx, gy, gz;
} gsensorData;

int mpuOpen(void);
void mpuClose(void);
int mpuRead(gsensorData* out);

#ifdef __cplusplus
}
#endif

#endif
