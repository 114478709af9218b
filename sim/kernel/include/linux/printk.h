/* Host kernel layer: printk. The text lands in the layer's log buffer. */
#ifndef _VK_LINUX_PRINTK_H
#define _VK_LINUX_PRINTK_H

#define KERN_EMERG "<0>"
#define KERN_ALERT "<1>"
#define KERN_CRIT "<2>"
#define KERN_ERR "<3>"
#define KERN_WARNING "<4>"
#define KERN_NOTICE "<5>"
#define KERN_INFO "<6>"
#define KERN_DEBUG "<7>"

int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
