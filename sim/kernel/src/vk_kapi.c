/*
 * Host kernel layer: the kernel calls the camera's drivers make, and the
 * device files, user memory and module bookkeeping behind them.
 *
 * This file sees the layer's own kernel headers; it reaches the C library
 * only through stdio and the helpers in vk_machine.c.
 */
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/miscdevice.h>
#include <linux/gpio.h>
#include <linux/delay.h>
#include <linux/timer.h>
#include <linux/mutex.h>
#include <linux/uaccess.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <plat/gpio-cfg.h>

#include <stdio.h>

#include "vk_internal.h"

#define VK_FILES 64
#define VK_REGIONS 256
#define VK_MODULES 8
#define VK_TIMER_MAGIC 0x7173e5a1u
#define MISC_MAJOR 10

static int kapi_lock;

static void lock(void)
{
	while (__atomic_exchange_n(&kapi_lock, 1, __ATOMIC_ACQUIRE))
		vk_cpu_relax();
}

static void unlock(void)
{
	__atomic_store_n(&kapi_lock, 0, __ATOMIC_RELEASE);
}

/* ---- printk ---- */

int printk(const char *fmt, ...)
{
	char buf[1024];
	va_list ap;
	int n;

	va_start(ap, fmt);
	n = vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	if (n < 0)
		return n;
	if ((size_t)n >= sizeof(buf))
		n = sizeof(buf) - 1;
	vk_log_text(buf, (size_t)n);
	return n;
}

/* ---- delays ---- */

void __const_udelay(unsigned long xloops)
{
	vk_log_delay(VK_DELAY_UDELAY, xloops);
	vk_clock_add_ns((u64)xloops * 1000u / VK_UDELAY_LOOPS_PER_US);
	vk_delay_yield();
}

void msleep(unsigned int msecs)
{
	vk_log_delay(VK_DELAY_MSLEEP, msecs);
	vk_clock_add_ns((u64)msecs * 1000000u);
}

/* ---- timers ---- */

static struct timer_list *timers;

static void timer_unlink(struct timer_list *t)
{
	struct timer_list **pp;

	for (pp = &timers; *pp; pp = &(*pp)->vk_next) {
		if (*pp == t) {
			*pp = t->vk_next;
			break;
		}
	}
	t->vk_next = NULL;
	t->vk_pending = 0;
}

static int timer_checked(struct timer_list *t, const char *call)
{
	if (t->vk_magic == VK_TIMER_MAGIC)
		return 1;
	vk_warn("vkernel: %s of an uninitialised timer\n", call);
	return 0;
}

void init_timer(struct timer_list *timer)
{
	lock();
	if (timer->vk_magic == VK_TIMER_MAGIC && timer->vk_pending)
		timer_unlink(timer);
	unlock();
	timer->vk_magic = VK_TIMER_MAGIC;
	timer->vk_pending = 0;
	timer->vk_next = NULL;
}

void setup_timer(struct timer_list *timer, void (*function)(unsigned long),
		 unsigned long data)
{
	init_timer(timer);
	timer->function = function;
	timer->data = data;
}

int mod_timer(struct timer_list *timer, unsigned long expires)
{
	int was;

	timer_checked(timer, "mod_timer");
	lock();
	was = timer->vk_pending;
	if (!was) {
		timer->vk_next = timers;
		timers = timer;
		timer->vk_pending = 1;
	}
	timer->expires = expires;
	unlock();
	return was;
}

void add_timer(struct timer_list *timer)
{
	mod_timer(timer, timer->expires);
}

int del_timer(struct timer_list *timer)
{
	int was;

	if (!timer_checked(timer, "del_timer"))
		return 0;
	lock();
	was = timer->vk_pending;
	if (was)
		timer_unlink(timer);
	unlock();
	return was;
}

int del_timer_sync(struct timer_list *timer)
{
	return del_timer(timer);
}

int timer_pending(const struct timer_list *timer)
{
	return timer->vk_pending;
}

int vk_timers_pending(void)
{
	struct timer_list *t;
	int n = 0;

	lock();
	for (t = timers; t; t = t->vk_next)
		n++;
	unlock();
	return n;
}

static struct timer_list *timer_due(void)
{
	unsigned long now = vk_jiffies();
	struct timer_list *t;

	lock();
	for (t = timers; t; t = t->vk_next) {
		if (!time_before(now, t->expires)) {
			timer_unlink(t);
			break;
		}
	}
	unlock();
	return t;
}

void vk_clock_advance_ms(unsigned int ms)
{
	unsigned int step = 1000u / HZ;
	struct timer_list *t;

	while (ms) {
		unsigned int d = ms < step ? ms : step;

		vk_clock_add_ns((u64)d * 1000000u);
		ms -= d;
		while ((t = timer_due()))
			t->function(t->data);
	}
}

/* ---- mutexes ---- */

static __thread int thread_marker;

static unsigned long self(void)
{
	return (unsigned long)&thread_marker;
}

void mutex_init(struct mutex *lock)
{
	lock->vk_locked = 0;
	lock->vk_owner = 0;
}

void mutex_lock(struct mutex *m)
{
	if (__atomic_load_n(&m->vk_locked, __ATOMIC_ACQUIRE) &&
	    __atomic_load_n(&m->vk_owner, __ATOMIC_RELAXED) == self()) {
		vk_warn("vkernel: mutex_lock of a mutex this thread holds\n");
		return;
	}
	while (__atomic_exchange_n(&m->vk_locked, 1, __ATOMIC_ACQUIRE))
		vk_cpu_relax();
	__atomic_store_n(&m->vk_owner, self(), __ATOMIC_RELAXED);
}

int mutex_lock_interruptible(struct mutex *m)
{
	mutex_lock(m);
	return 0;
}

int mutex_trylock(struct mutex *m)
{
	if (__atomic_exchange_n(&m->vk_locked, 1, __ATOMIC_ACQUIRE))
		return 0;
	__atomic_store_n(&m->vk_owner, self(), __ATOMIC_RELAXED);
	return 1;
}

void mutex_unlock(struct mutex *m)
{
	if (!__atomic_load_n(&m->vk_locked, __ATOMIC_ACQUIRE) ||
	    __atomic_load_n(&m->vk_owner, __ATOMIC_RELAXED) != self()) {
		vk_warn("vkernel: mutex_unlock of a mutex this thread does not hold\n");
		return;
	}
	__atomic_store_n(&m->vk_owner, 0, __ATOMIC_RELAXED);
	__atomic_store_n(&m->vk_locked, 0, __ATOMIC_RELEASE);
}

int mutex_is_locked(struct mutex *m)
{
	return __atomic_load_n(&m->vk_locked, __ATOMIC_ACQUIRE);
}

/* ---- GPIO ---- */

int gpio_request(unsigned int gpio, const char *label)
{
	int ret;

	vk_hw_lock();
	ret = vk_pin_request(gpio, label);
	vk_hw_unlock();
	return ret;
}

void gpio_free(unsigned int gpio)
{
	vk_hw_lock();
	vk_pin_free(gpio);
	vk_hw_unlock();
}

int gpio_direction_input(unsigned int gpio)
{
	vk_hw_lock();
	vk_pin_config(gpio, 0);
	vk_hw_unlock();
	return 0;
}

int gpio_direction_output(unsigned int gpio, int value)
{
	vk_hw_lock();
	vk_pin_set(gpio, value);
	vk_pin_config(gpio, 1);
	vk_hw_unlock();
	return 0;
}

int gpio_get_value(unsigned int gpio)
{
	int v;

	vk_hw_lock();
	v = vk_pin_level(gpio);
	vk_hw_unlock();
	return v;
}

void gpio_set_value(unsigned int gpio, int value)
{
	vk_hw_lock();
	vk_pin_set(gpio, value);
	vk_hw_unlock();
}

int s3c_gpio_cfgpin(unsigned int pin, unsigned int to)
{
	if (to != S3C_GPIO_INPUT && to != S3C_GPIO_OUTPUT)
		return -EINVAL;
	vk_hw_lock();
	vk_pin_config(pin, to == S3C_GPIO_OUTPUT);
	vk_hw_unlock();
	return 0;
}

/* ---- memory ---- */

void *kmalloc(size_t size, gfp_t flags)
{
	(void)flags;
	return vk_malloc(size, 0);
}

void *kzalloc(size_t size, gfp_t flags)
{
	(void)flags;
	return vk_malloc(size, 1);
}

void kfree(const void *p)
{
	vk_free(p);
}

/* ---- user memory ---- */

struct region {
	const char *start;
	size_t len;
};

static struct region regions[VK_REGIONS];
static struct vk_user_access user_ops;
static int user_ops_set;

int vk_user_map(const void *addr, size_t len)
{
	int i, ret = -ENOMEM;

	if (!addr || !len)
		return -EINVAL;
	lock();
	for (i = 0; i < VK_REGIONS; i++) {
		if (!regions[i].start) {
			regions[i].start = addr;
			regions[i].len = len;
			ret = 0;
			break;
		}
	}
	unlock();
	return ret;
}

int vk_user_unmap(const void *addr)
{
	int i, ret = -ENOENT;

	lock();
	for (i = 0; i < VK_REGIONS; i++) {
		if (regions[i].start && regions[i].start == addr) {
			regions[i].start = NULL;
			regions[i].len = 0;
			ret = 0;
			break;
		}
	}
	unlock();
	return ret;
}

void vk_set_user_access(const struct vk_user_access *ops)
{
	lock();
	if (ops) {
		user_ops = *ops;
		user_ops_set = 1;
	} else {
		user_ops_set = 0;
	}
	unlock();
}

/* Bytes from p on that lie in mapped user memory (at most n). */
static size_t user_span(const void *p, size_t n)
{
	const char *c = p;
	size_t best = 0;
	int i;

	if (!p)
		return 0;
	lock();
	for (i = 0; i < VK_REGIONS; i++) {
		const char *s = regions[i].start;

		if (s && c >= s && c < s + regions[i].len) {
			size_t avail = (size_t)(s + regions[i].len - c);

			if (avail > best)
				best = avail;
		}
	}
	unlock();
	return best < n ? best : n;
}

static int get_user_ops(struct vk_user_access *ops)
{
	int set;

	lock();
	set = user_ops_set;
	if (set)
		*ops = user_ops;
	unlock();
	return set;
}

unsigned long copy_from_user(void *to, const void __user *from, unsigned long n)
{
	struct vk_user_access ops;
	size_t ok;

	if (!n)
		return 0;
	if (get_user_ops(&ops)) {
		size_t left = ops.copy_in(ops.ctx, to, from, n);

		if (left > n)
			left = n;
		if (left)
			memset((char *)to + (n - left), 0, left);
		return left;
	}
	ok = user_span(from, n);
	if (ok)
		memcpy(to, from, ok);
	if (ok < n)
		memset((char *)to + ok, 0, n - ok);
	return n - ok;
}

unsigned long copy_to_user(void __user *to, const void *from, unsigned long n)
{
	struct vk_user_access ops;
	size_t ok;

	if (!n)
		return 0;
	if (get_user_ops(&ops)) {
		size_t left = ops.copy_out(ops.ctx, to, from, n);

		return left > n ? n : left;
	}
	ok = user_span(to, n);
	if (ok)
		memcpy(to, from, ok);
	return n - ok;
}

long strncpy_from_user(char *dst, const char __user *src, long count)
{
	long i;

	for (i = 0; i < count; i++) {
		if (copy_from_user(&dst[i], src + i, 1))
			return -EFAULT;
		if (!dst[i])
			return i;
	}
	return count;
}

/* ---- modules ---- */

static const char *loaded[VK_MODULES];
static const char *loading;

static int module_slot(const char *name)
{
	int i;

	for (i = 0; i < VK_MODULES; i++)
		if (loaded[i] && !strcmp(loaded[i], name))
			return i;
	return -1;
}

/* ---- misc devices and files ---- */

struct fh {
	int used;
	struct file file;
	struct inode inode;
	struct miscdevice *misc;
};

static struct miscdevice *miscs;
static struct fh files[VK_FILES];
static int misc_fail;

void vk_misc_fail_register(int err)
{
	lock();
	misc_fail = err;
	unlock();
}

static struct miscdevice *misc_find(const char *name)
{
	struct miscdevice *m;

	for (m = miscs; m; m = m->vk_next)
		if (!strcmp(m->name, name))
			return m;
	return NULL;
}

static int minor_used(int minor)
{
	struct miscdevice *m;

	for (m = miscs; m; m = m->vk_next)
		if (m->minor == minor)
			return 1;
	return 0;
}

int misc_register(struct miscdevice *misc)
{
	int ret = 0;

	lock();
	if (misc_fail) {
		ret = misc_fail;
		goto out;
	}
	if (!misc->name || misc_find(misc->name)) {
		ret = -EBUSY;
		goto out;
	}
	if (misc->minor == MISC_DYNAMIC_MINOR) {
		int minor;

		for (minor = 63; minor >= 0 && minor_used(minor); minor--)
			;
		if (minor < 0) {
			ret = -EBUSY;
			goto out;
		}
		misc->minor = minor;
		misc->vk_dynamic = 1;
	} else if (minor_used(misc->minor)) {
		ret = -EBUSY;
		goto out;
	}
	misc->vk_module = loading;
	misc->vk_next = miscs;
	miscs = misc;
out:
	unlock();
	return ret;
}

int misc_deregister(struct miscdevice *misc)
{
	struct miscdevice **pp;
	int ret = -EINVAL;

	lock();
	for (pp = &miscs; *pp; pp = &(*pp)->vk_next) {
		if (*pp == misc) {
			*pp = misc->vk_next;
			misc->vk_next = NULL;
			/* A module loaded again starts from its own data again. */
			if (misc->vk_dynamic) {
				misc->minor = MISC_DYNAMIC_MINOR;
				misc->vk_dynamic = 0;
			}
			ret = 0;
			break;
		}
	}
	unlock();
	return ret;
}

int nonseekable_open(struct inode *inode, struct file *filp)
{
	(void)inode;
	filp->f_mode &= ~(FMODE_LSEEK | FMODE_PREAD | FMODE_PWRITE);
	return 0;
}

loff_t no_llseek(struct file *file, loff_t offset, int whence)
{
	(void)file;
	(void)offset;
	(void)whence;
	return -29; /* ESPIPE */
}

static const char *dev_name(const char *path)
{
	const char *slash = strrchr(path, '/');

	return slash ? slash + 1 : path;
}

int vk_open(const char *path)
{
	struct miscdevice *m;
	struct fh *f = NULL;
	int fd, ret;

	if (!path)
		return -ENOENT;
	lock();
	m = misc_find(dev_name(path));
	if (!m) {
		unlock();
		return -ENOENT;
	}
	for (fd = 0; fd < VK_FILES; fd++) {
		if (!files[fd].used) {
			f = &files[fd];
			break;
		}
	}
	if (!f) {
		unlock();
		return -23; /* ENFILE */
	}
	memset(f, 0, sizeof(*f));
	f->used = 1;
	f->misc = m;
	f->inode.i_rdev = (MISC_MAJOR << 20) | (unsigned int)m->minor;
	f->file.f_mode = FMODE_READ | FMODE_WRITE | FMODE_LSEEK | FMODE_PREAD | FMODE_PWRITE;
	f->file.f_op = m->fops;
	unlock();

	ret = 0;
	if (f->file.f_op->open)
		ret = f->file.f_op->open(&f->inode, &f->file);
	if (ret) {
		lock();
		f->used = 0;
		unlock();
		return ret;
	}
	return fd;
}

static struct fh *fh_get(int fd)
{
	struct fh *f = NULL;

	if (fd < 0 || fd >= VK_FILES)
		return NULL;
	lock();
	if (files[fd].used)
		f = &files[fd];
	unlock();
	return f;
}

long vk_ioctl(int fd, unsigned int cmd, unsigned long arg)
{
	struct fh *f = fh_get(fd);

	if (!f)
		return -EBADF;
	if (!f->file.f_op->unlocked_ioctl)
		return -ENOTTY;
	return f->file.f_op->unlocked_ioctl(&f->file, cmd, arg);
}

long vk_read(int fd, void *buf, size_t count)
{
	struct fh *f = fh_get(fd);

	if (!f)
		return -EBADF;
	if (!f->file.f_op->read)
		return -EINVAL;
	return f->file.f_op->read(&f->file, buf, count, &f->file.f_pos);
}

long vk_write(int fd, const void *buf, size_t count)
{
	struct fh *f = fh_get(fd);

	if (!f)
		return -EBADF;
	if (!f->file.f_op->write)
		return -EINVAL;
	return f->file.f_op->write(&f->file, buf, count, &f->file.f_pos);
}

int vk_release(int fd)
{
	struct fh *f = fh_get(fd);
	int ret = 0;

	if (!f)
		return -EBADF;
	if (f->file.f_op->release)
		ret = f->file.f_op->release(&f->inode, &f->file);
	lock();
	f->used = 0;
	unlock();
	return ret;
}

int vk_release_unmatched(const char *path)
{
	struct miscdevice *m;
	struct file file;
	struct inode inode;

	lock();
	m = path ? misc_find(dev_name(path)) : NULL;
	unlock();
	if (!m)
		return -ENOENT;
	memset(&file, 0, sizeof(file));
	memset(&inode, 0, sizeof(inode));
	file.f_op = m->fops;
	inode.i_rdev = (MISC_MAJOR << 20) | (unsigned int)m->minor;
	return m->fops->release ? m->fops->release(&inode, &file) : 0;
}

int vk_device_exists(const char *path)
{
	int v;

	lock();
	v = path && misc_find(dev_name(path)) != NULL;
	unlock();
	return v;
}

int vk_device_minor(const char *path)
{
	struct miscdevice *m;
	int v;

	lock();
	m = path ? misc_find(dev_name(path)) : NULL;
	v = m ? m->minor : -ENOENT;
	unlock();
	return v;
}

/* ---- module bookkeeping (for the module table) ---- */

int vk_kapi_module_is_loaded(const char *name)
{
	int v;

	lock();
	v = module_slot(name) >= 0;
	unlock();
	return v;
}

int vk_kapi_module_begin(const char *name)
{
	lock();
	if (module_slot(name) >= 0) {
		unlock();
		return -EEXIST;
	}
	loading = name;
	unlock();
	return 0;
}

static void drop_miscs_of(const char *name, const char *why)
{
	struct miscdevice **pp = &miscs;

	while (*pp) {
		struct miscdevice *m = *pp;

		if (m->vk_module && !strcmp(m->vk_module, name)) {
			*pp = m->vk_next;
			m->vk_next = NULL;
			if (m->vk_dynamic) {
				m->minor = MISC_DYNAMIC_MINOR;
				m->vk_dynamic = 0;
			}
			unlock();
			vk_warn("vkernel: %s %s with \"%s\" still registered\n", name, why, m->name);
			lock();
			pp = &miscs;
		} else {
			pp = &m->vk_next;
		}
	}
}

void vk_kapi_module_end(const char *name, int ok)
{
	int i;

	lock();
	loading = NULL;
	if (ok) {
		for (i = 0; i < VK_MODULES; i++) {
			if (!loaded[i]) {
				loaded[i] = name;
				break;
			}
		}
	} else {
		drop_miscs_of(name, "failed to load");
	}
	unlock();
}

int vk_kapi_unload_begin(const char *name)
{
	int i;

	lock();
	if (module_slot(name) < 0) {
		unlock();
		return -ENOENT;
	}
	for (i = 0; i < VK_FILES; i++) {
		if (files[i].used && files[i].misc->vk_module &&
		    !strcmp(files[i].misc->vk_module, name)) {
			unlock();
			return -EBUSY;
		}
	}
	unlock();
	return 0;
}

void vk_kapi_unload_end(const char *name)
{
	int i;

	lock();
	i = module_slot(name);
	if (i >= 0)
		loaded[i] = NULL;
	drop_miscs_of(name, "unloaded");
	unlock();
}

int vk_kapi_busy(void)
{
	int i, busy = 0;

	lock();
	for (i = 0; i < VK_MODULES; i++)
		busy |= loaded[i] != NULL;
	for (i = 0; i < VK_FILES; i++)
		busy |= files[i].used;
	unlock();
	return busy;
}

void vk_kapi_reset(void)
{
	lock();
	while (miscs) {
		struct miscdevice *m = miscs;

		miscs = m->vk_next;
		m->vk_next = NULL;
		if (m->vk_dynamic) {
			m->minor = MISC_DYNAMIC_MINOR;
			m->vk_dynamic = 0;
		}
	}
	timers = NULL;
	misc_fail = 0;
	loading = NULL;
	memset(files, 0, sizeof(files));
	memset(loaded, 0, sizeof(loaded));
	unlock();
}
