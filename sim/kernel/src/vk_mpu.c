/*
 * Host kernel layer: the six-axis motion sensor at 0x68.
 *
 * A write transaction's first byte sets the register pointer; further
 * bytes are written from it on.  A read transaction sends registers from the
 * pointer on, one per byte, as long as the master acknowledges.  Setting bit
 * 7 of power management 1 (0x6B) resets the sensor, which then sleeps (bit
 * 6); while it sleeps its sample registers read 0.  The sample registers
 * 0x3B-0x48 hold accelerometer X, Y, Z, temperature and gyroscope X, Y, Z,
 * each high byte first, from the sample a test sets.
 */
#include <stdlib.h>
#include <string.h>

#include "vk_internal.h"

#define SENSOR_ADDR 0x68
#define REG_SAMPLE_FIRST 0x3B
#define REG_SAMPLE_LAST 0x48
#define REG_PWR_MGMT1 0x6B
#define REG_WHO_AM_I 0x75
#define WRITELOG_MAX 100000

struct sensor {
	uint8_t regs[128];
	int acking;
	uint8_t ptr;
	int expect_reg;
	struct vk_sensor_sample sample;

	struct vk_sensor_write *writes;
	size_t nwrites, wcap;
	unsigned long reads;
};

static struct sensor sensor;

static void power_on_regs(void)
{
	memset(sensor.regs, 0, sizeof(sensor.regs));
	sensor.regs[REG_PWR_MGMT1] = 0x40;
	sensor.regs[REG_WHO_AM_I] = SENSOR_ADDR;
}

static int16_t sample_word(int i)
{
	switch (i) {
	case 0: case 1: case 2:
		return sensor.sample.accel[i];
	case 3:
		return sensor.sample.temp;
	default:
		return sensor.sample.gyro[i - 4];
	}
}

static uint8_t reg_read(uint8_t r)
{
	r &= 0x7F;
	if (r >= REG_SAMPLE_FIRST && r <= REG_SAMPLE_LAST) {
		int off = r - REG_SAMPLE_FIRST;
		uint16_t w;

		if (sensor.regs[REG_PWR_MGMT1] & 0x40)
			return 0;
		w = (uint16_t)sample_word(off / 2);
		return (off & 1) ? (uint8_t)(w & 0xFF) : (uint8_t)(w >> 8);
	}
	return sensor.regs[r];
}

static void log_write(uint8_t r, uint8_t v)
{
	if (sensor.nwrites == sensor.wcap) {
		size_t cap = sensor.wcap ? sensor.wcap * 2 : 64;
		struct vk_sensor_write *n;

		if (cap > WRITELOG_MAX)
			return;
		n = realloc(sensor.writes, cap * sizeof(*n));
		if (!n)
			return;
		sensor.writes = n;
		sensor.wcap = cap;
	}
	sensor.writes[sensor.nwrites].reg = r;
	sensor.writes[sensor.nwrites].value = v;
	sensor.writes[sensor.nwrites].t_ns = vk_clock_ns();
	sensor.nwrites++;
}

static void reg_write(uint8_t r, uint8_t v)
{
	r &= 0x7F;
	log_write(r, v);
	if (r == REG_PWR_MGMT1 && (v & 0x80)) {
		power_on_regs();
		return;
	}
	if ((r >= REG_SAMPLE_FIRST && r <= REG_SAMPLE_LAST) || r == REG_WHO_AM_I)
		return;	/* read-only */
	sensor.regs[r] = v;
}

static int s_address(void *ctx, int read)
{
	(void)ctx;
	if (!sensor.acking)
		return 0;
	sensor.expect_reg = !read;
	return 1;
}

static int s_write(void *ctx, uint8_t b)
{
	(void)ctx;
	if (sensor.expect_reg) {
		sensor.ptr = b & 0x7F;
		sensor.expect_reg = 0;
		return 1;
	}
	reg_write(sensor.ptr, b);
	sensor.ptr = (sensor.ptr + 1) & 0x7F;
	return 1;
}

static uint8_t s_read(void *ctx)
{
	uint8_t v;

	(void)ctx;
	v = reg_read(sensor.ptr);
	sensor.ptr = (sensor.ptr + 1) & 0x7F;
	sensor.reads++;
	return v;
}

static void s_end(void *ctx)
{
	(void)ctx;
	sensor.expect_reg = 0;
}

static const struct vk_i2c_slave_ops sensor_ops = {
	.address = s_address,
	.write = s_write,
	.read = s_read,
	.end = s_end,
};

void vk_sensor_init(void)
{
	free(sensor.writes);
	memset(&sensor, 0, sizeof(sensor));
	sensor.acking = 1;
	power_on_regs();
	vk_i2c_attach(VK_BUS_SENSOR, SENSOR_ADDR, &sensor_ops, NULL);
}

/* ---- public ---- */

void vk_sensor_set_sample(const struct vk_sensor_sample *s)
{
	vk_hw_lock();
	sensor.sample = *s;
	vk_hw_unlock();
}

void vk_sensor_set_acking(int on)
{
	vk_hw_lock();
	sensor.acking = on ? 1 : 0;
	vk_hw_unlock();
}

int vk_sensor_reg(int reg)
{
	int v;

	if (reg < 0 || reg > 0x7F)
		return -1;
	vk_hw_lock();
	v = reg_read((uint8_t)reg);
	vk_hw_unlock();
	return v;
}

int vk_sensor_awake(void)
{
	int v;

	vk_hw_lock();
	v = !(sensor.regs[REG_PWR_MGMT1] & 0x40);
	vk_hw_unlock();
	return v;
}

size_t vk_sensor_writes(struct vk_sensor_write *out, size_t max)
{
	size_t n;

	vk_hw_lock();
	n = sensor.nwrites < max ? sensor.nwrites : max;
	if (n)
		memcpy(out, sensor.writes, n * sizeof(*out));
	n = sensor.nwrites;
	vk_hw_unlock();
	return n;
}

unsigned long vk_sensor_reads(void)
{
	unsigned long n;

	vk_hw_lock();
	n = sensor.reads;
	vk_hw_unlock();
	return n;
}

void vk_sensor_clear_log(void)
{
	vk_hw_lock();
	sensor.nwrites = 0;
	sensor.reads = 0;
	vk_hw_unlock();
}
