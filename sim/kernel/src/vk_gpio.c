/*
 * Host kernel layer: the board's GPIO pins.
 *
 * Every pin is an open-drain wire with a pull-up: it reads low when the CPU
 * drives it low as an output or when a device on the wire pulls it low,
 * and high otherwise.  Devices watch the wires they sit on.
 */
#include <string.h>

#include "vk_internal.h"

#define VK_PIN_WATCHERS 2

struct vk_pin {
	int requested;
	char label[32];
	int output;
	int latch;		/* output level set by the CPU */
	int pulls;		/* devices pulling the wire low */
	int level;
	int fail_request;
	struct {
		vk_pin_watch_fn fn;
		void *ctx;
	} watch[VK_PIN_WATCHERS];
};

static struct vk_pin pins[VK_GPIO_COUNT];

static int wire_level(const struct vk_pin *p)
{
	return !((p->output && !p->latch) || p->pulls);
}

static void settle(unsigned int pin)
{
	struct vk_pin *p = &pins[pin];
	int level = wire_level(p);
	int i;

	if (level == p->level)
		return;
	p->level = level;
	for (i = 0; i < VK_PIN_WATCHERS; i++)
		if (p->watch[i].fn)
			p->watch[i].fn(p->watch[i].ctx, pin, level);
}

void vk_pins_reset(void)
{
	unsigned int i;

	memset(pins, 0, sizeof(pins));
	for (i = 0; i < VK_GPIO_COUNT; i++)
		pins[i].level = 1;
}

void vk_pin_watch(unsigned int pin, vk_pin_watch_fn fn, void *ctx)
{
	int i;

	if (pin >= VK_GPIO_COUNT)
		return;
	for (i = 0; i < VK_PIN_WATCHERS; i++) {
		if (!pins[pin].watch[i].fn) {
			pins[pin].watch[i].fn = fn;
			pins[pin].watch[i].ctx = ctx;
			return;
		}
	}
}

void vk_pin_pull(unsigned int pin, int low)
{
	struct vk_pin *p = &pins[pin];
	int want = low ? 1 : 0;

	if (p->pulls == want)
		return;
	p->pulls = want;
	settle(pin);
}

int vk_pin_level(unsigned int pin)
{
	return pin < VK_GPIO_COUNT ? pins[pin].level : 0;
}

int vk_pin_request(unsigned int pin, const char *label)
{
	struct vk_pin *p;

	if (pin >= VK_GPIO_COUNT)
		return -22; /* EINVAL */
	p = &pins[pin];
	if (p->fail_request)
		return p->fail_request;
	if (p->requested)
		return -16; /* EBUSY */
	p->requested = 1;
	strncpy(p->label, label ? label : "?", sizeof(p->label) - 1);
	p->label[sizeof(p->label) - 1] = '\0';
	return 0;
}

void vk_pin_free(unsigned int pin)
{
	if (pin >= VK_GPIO_COUNT)
		return;
	pins[pin].requested = 0;
	pins[pin].label[0] = '\0';
}

void vk_pin_config(unsigned int pin, int output)
{
	if (pin >= VK_GPIO_COUNT)
		return;
	pins[pin].output = output ? 1 : 0;
	settle(pin);
}

void vk_pin_set(unsigned int pin, int value)
{
	if (pin >= VK_GPIO_COUNT)
		return;
	pins[pin].latch = value ? 1 : 0;
	settle(pin);
}

int vk_pins_requested(void)
{
	int i, n = 0;

	for (i = 0; i < VK_GPIO_COUNT; i++)
		n += pins[i].requested;
	return n;
}

/* ---- public ---- */

int vk_gpio_line(unsigned int pin)
{
	int v;

	vk_hw_lock();
	v = vk_pin_level(pin);
	vk_hw_unlock();
	return v;
}

int vk_gpio_is_output(unsigned int pin)
{
	int v;

	vk_hw_lock();
	v = pin < VK_GPIO_COUNT ? pins[pin].output : 0;
	vk_hw_unlock();
	return v;
}

int vk_gpio_requested(unsigned int pin, const char **label)
{
	int v = 0;

	vk_hw_lock();
	if (pin < VK_GPIO_COUNT && pins[pin].requested) {
		v = 1;
		if (label)
			*label = pins[pin].label;
	}
	vk_hw_unlock();
	return v;
}

void vk_gpio_fail_request(unsigned int pin, int err)
{
	vk_hw_lock();
	if (pin < VK_GPIO_COUNT)
		pins[pin].fail_request = err;
	vk_hw_unlock();
}
