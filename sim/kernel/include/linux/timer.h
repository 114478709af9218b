/* Host kernel layer: kernel timers.  Timers fall due on the virtual clock
 * and run when the layer's clock is advanced (vk_clock_advance_ms()). */
#ifndef _VK_LINUX_TIMER_H
#define _VK_LINUX_TIMER_H

#include <linux/jiffies.h>

struct timer_list {
	unsigned long expires;
	void (*function)(unsigned long);
	unsigned long data;
	/* host layer bookkeeping */
	unsigned int vk_magic;
	int vk_pending;
	struct timer_list *vk_next;
};

void init_timer(struct timer_list *timer);
void setup_timer(struct timer_list *timer, void (*function)(unsigned long),
		 unsigned long data);
void add_timer(struct timer_list *timer);
int mod_timer(struct timer_list *timer, unsigned long expires);
int del_timer(struct timer_list *timer);
int del_timer_sync(struct timer_list *timer);
int timer_pending(const struct timer_list *timer);

#endif
