/* Host kernel layer: the board (clock, logs, pins) and its reset. */
#define _GNU_SOURCE
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vk_internal.h"

#define VK_HZ 200
#define VK_LOG_MAX (256 * 1024)
#define VK_DELAYS_MAX (4u * 1024 * 1024)

static pthread_mutex_t hw_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t board_once = PTHREAD_ONCE_INIT;

static uint64_t clock_ns;

static char *log_buf;
static size_t log_len, log_cap;
static int log_echo;
static int warnings;

static struct vk_delay *delays;
static size_t delays_len, delays_cap;
static int delay_yield;

/* ---- locks ---- */

static void board_first_power_on(void);

void vk_hw_lock(void)
{
	pthread_once(&board_once, board_first_power_on);
	pthread_mutex_lock(&hw_lock);
}

void vk_hw_unlock(void)
{
	pthread_mutex_unlock(&hw_lock);
}

/* ---- clock ---- */

unsigned long vk_hz(void)
{
	return VK_HZ;
}

void vk_clock_add_ns(uint64_t ns)
{
	__atomic_add_fetch(&clock_ns, ns, __ATOMIC_SEQ_CST);
}

uint64_t vk_clock_ns(void)
{
	return __atomic_load_n(&clock_ns, __ATOMIC_SEQ_CST);
}

unsigned long vk_jiffies(void)
{
	return (unsigned long)(vk_clock_ns() / (1000000000ull / VK_HZ));
}

/* ---- logs ---- */

void vk_log_text(const char *text, size_t len)
{
	pthread_mutex_lock(&log_lock);
	if (log_len + len + 1 > log_cap) {
		size_t cap = log_cap ? log_cap : 4096;

		while (cap < log_len + len + 1 && cap < VK_LOG_MAX)
			cap *= 2;
		if (log_len + len + 1 > cap) {
			/* Full: keep the newer half. */
			size_t keep = log_len / 2;

			memmove(log_buf, log_buf + log_len - keep, keep);
			log_len = keep;
		} else {
			char *nb = realloc(log_buf, cap);

			if (!nb) {
				pthread_mutex_unlock(&log_lock);
				return;
			}
			log_buf = nb;
			log_cap = cap;
		}
	}
	if (log_len + len + 1 <= log_cap) {
		memcpy(log_buf + log_len, text, len);
		log_len += len;
		log_buf[log_len] = '\0';
	}
	if (log_echo)
		fwrite(text, 1, len, stderr);
	pthread_mutex_unlock(&log_lock);
}

void vk_warn(const char *fmt, ...)
{
	char buf[256];
	va_list ap;
	int n;

	va_start(ap, fmt);
	n = vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	if (n < 0)
		return;
	if ((size_t)n >= sizeof(buf))
		n = sizeof(buf) - 1;
	__atomic_add_fetch(&warnings, 1, __ATOMIC_SEQ_CST);
	vk_log_text(buf, (size_t)n);
}

int vk_warnings(void)
{
	return __atomic_load_n(&warnings, __ATOMIC_SEQ_CST);
}

size_t vk_printk_log(char *buf, size_t max)
{
	size_t n;

	pthread_mutex_lock(&log_lock);
	n = log_len;
	if (buf && max) {
		size_t c = n < max - 1 ? n : max - 1;

		if (c)
			memcpy(buf, log_buf, c);
		buf[c] = '\0';
	}
	pthread_mutex_unlock(&log_lock);
	return n;
}

void vk_printk_clear(void)
{
	pthread_mutex_lock(&log_lock);
	log_len = 0;
	if (log_buf)
		log_buf[0] = '\0';
	pthread_mutex_unlock(&log_lock);
}

void vk_printk_echo(int on)
{
	pthread_mutex_lock(&log_lock);
	log_echo = on;
	pthread_mutex_unlock(&log_lock);
}

void vk_log_delay(int kind, unsigned long arg)
{
	pthread_mutex_lock(&log_lock);
	if (delays_len == delays_cap && delays_cap < VK_DELAYS_MAX) {
		size_t cap = delays_cap ? delays_cap * 2 : 1024;
		struct vk_delay *nd = realloc(delays, cap * sizeof(*nd));

		if (nd) {
			delays = nd;
			delays_cap = cap;
		}
	}
	if (delays_len < delays_cap) {
		delays[delays_len].kind = kind;
		delays[delays_len].arg = arg;
		delays_len++;
	}
	pthread_mutex_unlock(&log_lock);
}

size_t vk_delays(struct vk_delay *out, size_t max)
{
	size_t n;

	pthread_mutex_lock(&log_lock);
	n = delays_len < max ? delays_len : max;
	if (n)
		memcpy(out, delays, n * sizeof(*out));
	pthread_mutex_unlock(&log_lock);
	return n;
}

size_t vk_delay_count(void)
{
	size_t n;

	pthread_mutex_lock(&log_lock);
	n = delays_len;
	pthread_mutex_unlock(&log_lock);
	return n;
}

void vk_delays_clear(void)
{
	pthread_mutex_lock(&log_lock);
	delays_len = 0;
	pthread_mutex_unlock(&log_lock);
}

void vk_set_delay_yield(int on)
{
	__atomic_store_n(&delay_yield, on, __ATOMIC_SEQ_CST);
}

int vk_delay_yield(void)
{
	if (__atomic_load_n(&delay_yield, __ATOMIC_SEQ_CST)) {
		sched_yield();
		return 1;
	}
	return 0;
}

/* ---- host services ---- */

void vk_cpu_relax(void)
{
	sched_yield();
}

void *vk_malloc(size_t size, int zero)
{
	return zero ? calloc(1, size ? size : 1) : malloc(size ? size : 1);
}

void vk_free(const void *p)
{
	free((void *)p);
}

/* ---- reset ---- */

static void board_power_on(void)
{
	pthread_mutex_lock(&hw_lock);
	vk_pins_reset();
	vk_i2c_bus_init(VK_BUS_OLED, VK_OLED_SCL, VK_OLED_SDA);
	vk_i2c_bus_init(VK_BUS_SENSOR, VK_MPU_SCL, VK_MPU_SDA);
	vk_panel_init();
	vk_sensor_init();
	vk_hw_unlock();
}

static void board_first_power_on(void)
{
	board_power_on();
}

int vk_reset(void)
{
	pthread_once(&board_once, board_first_power_on);
	if (vk_kapi_busy())
		return -16; /* EBUSY */
	vk_kapi_reset();
	board_power_on();
	__atomic_store_n(&clock_ns, 0, __ATOMIC_SEQ_CST);
	__atomic_store_n(&warnings, 0, __ATOMIC_SEQ_CST);
	vk_printk_clear();
	vk_delays_clear();
	return 0;
}
