/* Status LEDs ("/dev/gpioLed") and the push buttons ("/dev/button"). */
#ifndef CONTROLLER_DEVICE_LED_H
#define CONTROLLER_DEVICE_LED_H

#ifdef __cplusplus
extern "C" {
#endif

#define LED_DEVICE "/dev/gpioLed"
#define BUTTON_DEVICE "/dev/button"

typedef enum { LED_JOB = 0, LED_BATTERY = 1 } ledType;

/* LED 1: alert = low battery or charging, good = battery fine or charged;
   LED 0: alert = error or warning, active = access point up or a job. */
typedef enum { COLOR_DARK = 0, COLOR_ALERT = 1, COLOR_GOOD = 2, COLOR_ACTIVE = 4 } colorType;

int led_open(void);
int led_set(int led, int color);
int led_close(void);
/* Descriptor of the LED device, -1 when closed. */
int led_fd(void);

#ifdef __cplusplus
}
#endif

#endif
