/* Internals shared by the host kernel layer's files (plain C types only). */
#ifndef VK_INTERNAL_H
#define VK_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "../vkernel.h"

#define VK_GPIO_COUNT 256

/* Board wiring */
#define VK_OLED_SDA 110
#define VK_OLED_SCL 111
#define VK_OLED_RST 49
#define VK_MPU_SDA 105
#define VK_MPU_SCL 106

/* Lock of the modelled hardware (pins, buses, panel, sensor). */
void vk_hw_lock(void);
void vk_hw_unlock(void);

/* Clock */
void vk_clock_add_ns(uint64_t ns);
unsigned long vk_hz(void);

/* Logs */
void vk_log_delay(int kind, unsigned long arg);
void vk_log_text(const char *text, size_t len);
void vk_warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int vk_delay_yield(void);

/* Pins: a pin watcher is told each change of the wire's level. */
typedef void (*vk_pin_watch_fn)(void *ctx, unsigned int pin, int level);
void vk_pins_reset(void);
void vk_pin_watch(unsigned int pin, vk_pin_watch_fn fn, void *ctx);
/* A device on the wire pulls it low (1) or lets go (0). */
void vk_pin_pull(unsigned int pin, int low);
int vk_pin_level(unsigned int pin);
int vk_pin_request(unsigned int pin, const char *label);
void vk_pin_free(unsigned int pin);
void vk_pin_config(unsigned int pin, int output);
void vk_pin_set(unsigned int pin, int value);
int vk_pins_requested(void);

/* Two-wire bus decoder */
struct vk_i2c_slave_ops {
	int (*address)(void *ctx, int read);	/* 1: acknowledge */
	int (*write)(void *ctx, uint8_t b);	/* 1: acknowledge */
	uint8_t (*read)(void *ctx);
	void (*end)(void *ctx);			/* stop or repeated start */
};
struct vk_i2c_bus;
struct vk_i2c_bus *vk_i2c_bus_get(int bus);
void vk_i2c_bus_init(int bus, unsigned int scl, unsigned int sda);
void vk_i2c_attach(int bus, uint8_t addr7, const struct vk_i2c_slave_ops *ops, void *ctx);

/* Devices */
void vk_panel_init(void);
void vk_sensor_init(void);

/* Host services for the kernel-call side */
void vk_cpu_relax(void);
void *vk_malloc(size_t size, int zero);
void vk_free(const void *p);

/* Module and file bookkeeping */
int vk_kapi_module_begin(const char *name);
void vk_kapi_module_end(const char *name, int loaded);
int vk_kapi_unload_begin(const char *name);
void vk_kapi_unload_end(const char *name);
int vk_kapi_module_is_loaded(const char *name);
void vk_kapi_reset(void);
/* 1 while a module is loaded or a file is open. */
int vk_kapi_busy(void);

#endif
