/* Host kernel layer: tick count of the virtual clock. */
#ifndef _VK_LINUX_JIFFIES_H
#define _VK_LINUX_JIFFIES_H

#define HZ 200

unsigned long vk_jiffies(void);
#define jiffies (vk_jiffies())

#define time_after(a, b) ((long)((b) - (a)) < 0)
#define time_before(a, b) time_after(b, a)

#endif
