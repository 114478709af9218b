/* Kernel-side helpers for the host layer's tests. */
#ifndef KCALLS_H
#define KCALLS_H

#ifdef __cplusplus
extern "C" {
#endif

void kt_udelay(unsigned int us);
void kt_msleep(unsigned int ms);
unsigned long kt_jiffies(void);
void kt_timers_start(void);
int kt_fired_once(void);
int kt_fired_repeat(void);
unsigned long kt_last_data(void);
int kt_timers_stop(void);
int kt_del_uninitialised(void);
void kt_mutex_unlock_unheld(void);
int kt_mutex_cycle(void);

/* Kernel calls with plain types. */
int gpio_request(unsigned int gpio, const char *label);
void gpio_free(unsigned int gpio);
int gpio_get_value(unsigned int gpio);
void gpio_set_value(unsigned int gpio, int value);
int s3c_gpio_cfgpin(unsigned int pin, unsigned int to);
unsigned long copy_from_user(void *to, const void *from, unsigned long n);
unsigned long copy_to_user(void *to, const void *from, unsigned long n);
long strncpy_from_user(char *dst, const char *src, long count);
int printk(const char *fmt, ...);

#ifdef __cplusplus
}
#endif

#endif
