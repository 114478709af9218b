/*
 * vkernel: the camera board's kernel, on the host.
 *
 * The camera's own kernel modules (oledpanel, gyrotap) are compiled
 * unchanged against this layer's kernel headers and run here as the board
 * runs them: loading a module runs its init, the misc devices it registers
 * are opened, driven and closed through their file operations, and its GPIO
 * calls move wires of a modelled board.  On the wires sit an SSD1306 panel
 * controller (OLED bus, GPIO 110/111, reset on GPIO 49) and a six-axis
 * motion sensor at 0x68 (GPIO 105/106).  Delays run on a virtual clock.
 *
 * Results follow the kernel: 0 or a count on success, a negative errno
 * (-EFAULT, -EINVAL, ...) on failure.  Every call may be made from any
 * thread.
 */
#ifndef VKERNEL_H
#define VKERNEL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- the board ---- */

/* Power-cycles the modelled board: pins, panel, sensor, clock, timers and
 * every log start afresh.  -EBUSY while a module is loaded. */
int vk_reset(void);

/* Loads both modules as the board does at start-up: oledpanel (which
 * draws the start-up logo), then gyrotap.  The first failing init's result. */
int vk_board_boot(void);
/* Unloads whatever is loaded, gyrotap first.  -EBUSY while files are open. */
int vk_board_halt(void);

/* ---- modules ("oledpanel", "gyrotap") ---- */

/* Runs the module's init; its result is the load result (a module whose
 * init fails is not loaded).  -ENOENT for an unknown name, -EEXIST when
 * already loaded. */
int vk_module_load(const char *name);
/* Runs the module's exit.  -EBUSY while one of its device files is open,
 * -ENOENT when not loaded. */
int vk_module_unload(const char *name);
int vk_module_loaded(const char *name);
/* The licence the module declares, or NULL for an unknown name. */
const char *vk_module_license(const char *name);

/* ---- device files ("/dev/oled", "/dev/gyrotap") ---- */

/* Opens the misc device named by the path's last part through its file
 * operations.  A handle >= 0, -ENOENT when no such device is registered,
 * or the driver's open result. */
int vk_open(const char *path);
/* The driver's ioctl, read and release results; -EBADF for a bad handle,
 * -ENOTTY / -EINVAL when the driver has no such operation. */
long vk_ioctl(int fd, unsigned int cmd, unsigned long arg);
long vk_read(int fd, void *buf, size_t count);
long vk_write(int fd, const void *buf, size_t count);
int vk_release(int fd);
/* Calls the device's release operation once more for a file it never
 * opened (a close the driver did not see an open for). */
int vk_release_unmatched(const char *path);
/* 1 when the misc device of the path is registered. */
int vk_device_exists(const char *path);
/* Its minor number, or -ENOENT. */
int vk_device_minor(const char *path);

/* ---- user memory ----
 *
 * Every pointer the drivers get from "user space" (an ioctl record, the
 * text or bitmap it points to, a read buffer) must lie in memory handed over
 * with vk_user_map(); the drivers' user copies from or to anything else fail
 * as a copy from a bad user address does.  Records use the host's own
 * layout: wordParam is {u8 x, u8 y, int large, char *num}, matrixParam
 * {int reverse, char *name, u8 x, u8 y, u8 width, u8 height, u8 *matrix}. */
int vk_user_map(const void *addr, size_t len);
int vk_user_unmap(const void *addr);

/* A server that reaches its clients' memory in another way may take the
 * user copies over: each call copies n bytes and returns how many it could
 * NOT copy (0 on success).  NULL gives the copies back to the mapped
 * regions. */
struct vk_user_access {
	size_t (*copy_in)(void *ctx, void *dst, const void *user_src, size_t n);
	size_t (*copy_out)(void *ctx, void *user_dst, const void *src, size_t n);
	void *ctx;
};
void vk_set_user_access(const struct vk_user_access *ops);

/* ---- the panel ---- */

#define VK_PANEL_WIDTH 128
#define VK_PANEL_HEIGHT 64

/* What the glass shows, row by row from the top, 1 = lit pixel.  All dark
 * while the display is off, the charge pump is off or the panel is held in
 * reset. */
void vk_panel_picture(uint8_t pic[VK_PANEL_HEIGHT][VK_PANEL_WIDTH]);
int vk_panel_pixel(int x, int y);
/* 1 when the glass is lit: display on, charge pump on, not in reset. */
int vk_panel_lit(void);
/* The controller's display RAM: 8 pages of 128 columns, bit 0 on top. */
void vk_panel_ram(uint8_t ram[8][VK_PANEL_WIDTH]);
/* Writes the picture as an 8-bit grey PNG, each pixel scale x scale. */
int vk_panel_write_png(const char *path, int scale);
/* The same PNG handed to write() piece by piece. */
int vk_panel_png(void (*write)(void *ctx, const void *data, size_t len), void *ctx, int scale);

struct vk_panel_state {
	int display_on;		/* AF / AE */
	int charge_pump;	/* 8D 14 */
	int in_reset;		/* reset pin low */
	int resets;		/* completed reset pulses */
	int short_resets;	/* reset pulses shorter than 3 us */
	int contrast;
	int seg_remap;		/* A1 */
	int com_remap;		/* C8 */
	int inverse;		/* A7 */
	int entire_on;		/* A5 */
	int mux;		/* A8: multiplex ratio - 1 */
	int offset;		/* D3 */
	int start_line;		/* 40-7F */
	int clock_div;		/* D5 */
	int precharge;		/* D9 */
	int com_pins;		/* DA */
	int vcomh;		/* DB */
	int addr_mode;		/* 20: 0 horizontal, 1 vertical, 2 page */
	int page;		/* page pointer */
	int column;		/* column pointer */
	unsigned long unknown_cmds;
};
void vk_panel_get_state(struct vk_panel_state *st);
/* 0: the panel does not acknowledge its address (as if absent). */
void vk_panel_set_acking(int on);
/* Command bytes the panel took (arguments included), oldest first. */
size_t vk_panel_commands(uint8_t *buf, size_t max);
/* Data bytes the panel took. */
unsigned long vk_panel_data_bytes(void);
void vk_panel_clear_log(void);

/* ---- the motion sensor ---- */

struct vk_sensor_sample {
	int16_t accel[3];	/* X, Y, Z raw counts */
	int16_t temp;
	int16_t gyro[3];	/* X, Y, Z raw counts */
};
/* The sample the data registers hold while the sensor is awake. */
void vk_sensor_set_sample(const struct vk_sensor_sample *s);
/* 0: the sensor does not acknowledge its address (as if absent). */
void vk_sensor_set_acking(int on);
/* A register's value; -1 outside 0x00-0x7F. */
int vk_sensor_reg(int reg);
int vk_sensor_awake(void);
struct vk_sensor_write {
	uint8_t reg;
	uint8_t value;
	uint64_t t_ns;		/* virtual clock at the write */
};
size_t vk_sensor_writes(struct vk_sensor_write *out, size_t max);
/* Register reads served, one per transaction byte. */
unsigned long vk_sensor_reads(void);
void vk_sensor_clear_log(void);

/* ---- the two buses ---- */

enum { VK_BUS_OLED = 0, VK_BUS_SENSOR = 1 };

/* One transaction: from a start (or repeated start) to the next start or
 * stop.  data/ack stay valid until the log is cleared. */
struct vk_i2c_txn {
	uint8_t addr;		/* address byte, R/W in bit 0 */
	int addr_ack;
	size_t len;		/* bytes after the address byte */
	const uint8_t *data;
	const uint8_t *ack;	/* 1: acknowledged (by slave or master) */
	uint64_t t_ns;
};
size_t vk_i2c_txn_count(int bus);
int vk_i2c_txn_get(int bus, size_t i, struct vk_i2c_txn *out);
struct vk_i2c_stats {
	unsigned long starts;
	unsigned long stops;
	unsigned long bytes;
	unsigned long stray_bits;	/* clocked while no transaction is open */
	unsigned long broken_bytes;	/* cut by a start or stop mid-byte */
};
void vk_i2c_get_stats(int bus, struct vk_i2c_stats *st);
void vk_i2c_clear(int bus);

/* ---- pins ---- */

int vk_gpio_line(unsigned int pin);	/* the wire's level */
int vk_gpio_is_output(unsigned int pin);
/* 1 and the label when requested, else 0. */
int vk_gpio_requested(unsigned int pin, const char **label);
/* Makes the next requests of pin fail with err (0 ends it). */
void vk_gpio_fail_request(unsigned int pin, int err);

/* ---- misc registration ---- */

/* Makes the next misc registrations fail with err (0 ends it). */
void vk_misc_fail_register(int err);

/* ---- clock, delays, timers ---- */

uint64_t vk_clock_ns(void);
unsigned long vk_jiffies(void);
/* Moves the clock on and runs the timers that fall due, in this thread. */
void vk_clock_advance_ms(unsigned int ms);
int vk_timers_pending(void);

enum { VK_DELAY_UDELAY = 1, VK_DELAY_MSLEEP = 2 };
struct vk_delay {
	int kind;
	unsigned long arg;	/* __const_udelay() loops, or msleep() ms */
};
size_t vk_delays(struct vk_delay *out, size_t max);
size_t vk_delay_count(void);
void vk_delays_clear(void);
/* 1: every busy-wait also yields the CPU (lets threads interleave). */
void vk_set_delay_yield(int on);

/* ---- kernel log ---- */

/* Everything printk wrote since the last clear, NUL-terminated; returns
 * the full length. */
size_t vk_printk_log(char *buf, size_t max);
void vk_printk_clear(void);
/* 1: printk also writes to standard error. */
void vk_printk_echo(int on);
/* Misuses of kernel calls the layer noticed (each also printed). */
int vk_warnings(void);

#ifdef __cplusplus
}
#endif

#endif
