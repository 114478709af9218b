/*
 * Host kernel layer: the board's module table (the camera's own kernel
 * modules, linked in) and loading and unloading them.
 */
#include <pthread.h>
#include <string.h>

#include "vk_internal.h"

int vk_modinit_oledpanel(void);
void vk_modexit_oledpanel(void);
extern const char vk_modlicense_oledpanel[];
int vk_modinit_gyrotap(void);
void vk_modexit_gyrotap(void);
extern const char vk_modlicense_gyrotap[];

struct vk_module {
	const char *name;
	int (*init)(void);
	void (*exit)(void);
	const char *license;
};

/* In the order the board loads them. */
static const struct vk_module modules[] = {
	{ "oledpanel", vk_modinit_oledpanel, vk_modexit_oledpanel, vk_modlicense_oledpanel },
	{ "gyrotap", vk_modinit_gyrotap, vk_modexit_gyrotap, vk_modlicense_gyrotap },
};
#define NMODULES (sizeof(modules) / sizeof(modules[0]))

static pthread_mutex_t module_lock = PTHREAD_MUTEX_INITIALIZER;

static const struct vk_module *find(const char *name)
{
	size_t i;

	for (i = 0; name && i < NMODULES; i++)
		if (!strcmp(modules[i].name, name))
			return &modules[i];
	return NULL;
}

int vk_module_load(const char *name)
{
	const struct vk_module *m = find(name);
	int ret;

	if (!m)
		return -2; /* ENOENT */
	pthread_mutex_lock(&module_lock);
	ret = vk_kapi_module_begin(m->name);
	if (!ret) {
		ret = m->init();
		vk_kapi_module_end(m->name, ret == 0);
	}
	pthread_mutex_unlock(&module_lock);
	return ret;
}

int vk_module_unload(const char *name)
{
	const struct vk_module *m = find(name);
	int ret;

	if (!m)
		return -2;
	pthread_mutex_lock(&module_lock);
	ret = vk_kapi_unload_begin(m->name);
	if (!ret) {
		m->exit();
		vk_kapi_unload_end(m->name);
	}
	pthread_mutex_unlock(&module_lock);
	return ret;
}

int vk_module_loaded(const char *name)
{
	const struct vk_module *m = find(name);

	return m ? vk_kapi_module_is_loaded(m->name) : 0;
}

const char *vk_module_license(const char *name)
{
	const struct vk_module *m = find(name);

	return m ? m->license : NULL;
}

int vk_board_boot(void)
{
	size_t i;
	int ret, first = 0;

	for (i = 0; i < NMODULES; i++) {
		if (vk_module_loaded(modules[i].name))
			continue;
		ret = vk_module_load(modules[i].name);
		if (ret && !first)
			first = ret;
	}
	return first;
}

int vk_board_halt(void)
{
	size_t i;
	int ret, first = 0;

	for (i = NMODULES; i-- > 0;) {
		if (!vk_module_loaded(modules[i].name))
			continue;
		ret = vk_module_unload(modules[i].name);
		if (ret && !first)
			first = ret;
	}
	return first;
}
