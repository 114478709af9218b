/* Host kernel layer: delays on the layer's virtual clock.
 *
 * __const_udelay() takes microseconds scaled by HZ (the loops per
 * microsecond below); udelay() scales for it.  Nothing really waits: the
 * virtual clock moves on and the call is logged for tests.
 */
#ifndef _VK_LINUX_DELAY_H
#define _VK_LINUX_DELAY_H

#include <linux/jiffies.h>

#define VK_UDELAY_LOOPS_PER_US ((2199023UL * HZ) >> 11)

void __const_udelay(unsigned long xloops);
void msleep(unsigned int msecs);

#define udelay(n) __const_udelay((unsigned long)(n) * VK_UDELAY_LOOPS_PER_US)
#define ndelay(n) udelay(((n) + 999) / 1000)
#define mdelay(n) udelay((n) * 1000UL)

#endif
