/* Status LEDs ("/dev/gpioLed") and the motion sensor ("/dev/gyrotap"). */
#ifndef CONTROLLER_DEVICE_LED_H
#define CONTROLLER_DEVICE_LED_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define LED_DEVICE "/dev/gpioLed"
#define BUTTON_DEVICE "/dev/button"
#define GYRO_DEVICE "/dev/gyrotap"

typedef enum { LED_JOB = 0, LED_BATTERY = 1 } ledType;

/* LED 1: alert = low battery or charging, good = battery fine or charged;
   LED 0: alert = error or warning, active = access point up or a job. */
typedef enum { COLOR_DARK = 0, COLOR_ALERT = 1, COLOR_GOOD = 2, COLOR_ACTIVE = 4 } colorType;

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

int led_open(void);
int led_set(int led, int color);
int led_close(void);
/* Descriptor of the LED device, -1 when closed. */
int led_fd(void);

int mpuOpen(void);
void mpuClose(void);
int mpuRead(gsensorData* out);

#ifdef __cplusplus
}
#endif

#endif
