/* Host kernel layer: sleeping locks. */
#ifndef _VK_LINUX_MUTEX_H
#define _VK_LINUX_MUTEX_H

struct mutex {
	int vk_locked;
	unsigned long vk_owner;
};

#define __MUTEX_INITIALIZER(name) { 0, 0 }
#define DEFINE_MUTEX(name) struct mutex name = __MUTEX_INITIALIZER(name)

void mutex_init(struct mutex *lock);
void mutex_lock(struct mutex *lock);
int mutex_lock_interruptible(struct mutex *lock);
int mutex_trylock(struct mutex *lock);
void mutex_unlock(struct mutex *lock);
int mutex_is_locked(struct mutex *lock);

#endif
