/* Kernel-side helpers for the host layer's tests: calls that need the
 * layer's kernel types, made as a driver would make them. */
#include <linux/kernel.h>
#include <linux/delay.h>
#include <linux/timer.h>
#include <linux/mutex.h>
#include <linux/jiffies.h>

#include "kcalls.h"

static struct timer_list t_once, t_repeat, t_never;
static int fired_once, fired_repeat;
static unsigned long last_data;
static DEFINE_MUTEX(t_lock);

void kt_udelay(unsigned int us)
{
	udelay(us);
}

void kt_msleep(unsigned int ms)
{
	msleep(ms);
}

unsigned long kt_jiffies(void)
{
	return jiffies;
}

static void once_fn(unsigned long data)
{
	fired_once++;
	last_data = data;
}

static void repeat_fn(unsigned long data)
{
	fired_repeat++;
	last_data = data;
	mod_timer(&t_repeat, jiffies + 100);
}

void kt_timers_start(void)
{
	fired_once = fired_repeat = 0;
	setup_timer(&t_once, once_fn, 7);
	mod_timer(&t_once, jiffies + 200);
	setup_timer(&t_repeat, repeat_fn, 9);
	mod_timer(&t_repeat, jiffies + 100);
}

int kt_fired_once(void)
{
	return fired_once;
}

int kt_fired_repeat(void)
{
	return fired_repeat;
}

unsigned long kt_last_data(void)
{
	return last_data;
}

int kt_timers_stop(void)
{
	return del_timer(&t_once) + del_timer(&t_repeat);
}

int kt_del_uninitialised(void)
{
	return del_timer(&t_never);
}

void kt_mutex_unlock_unheld(void)
{
	mutex_unlock(&t_lock);
}

int kt_mutex_cycle(void)
{
	int ok;

	mutex_lock(&t_lock);
	ok = mutex_is_locked(&t_lock) && !mutex_trylock(&t_lock);
	mutex_unlock(&t_lock);
	return ok && !mutex_is_locked(&t_lock);
}
