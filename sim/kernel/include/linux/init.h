/* Host kernel layer: module entry points.
 *
 * On the host a module's init and exit functions are reached through
 * vk_modinit_<name>() and vk_modexit_<name>(), where <name> is the module
 * name the build passes as VK_MODNAME; the layer's module table calls them.
 */
#ifndef _VK_LINUX_INIT_H
#define _VK_LINUX_INIT_H

#define __init
#define __exit
#define __initdata
#define __exitdata

#define __vk_cat2(a, b) a##b
#define __vk_cat(a, b) __vk_cat2(a, b)

#ifndef VK_MODNAME
#define VK_MODNAME unnamed
#endif

#define module_init(fn)                                                    \
	int __vk_cat(vk_modinit_, VK_MODNAME)(void);                       \
	int __vk_cat(vk_modinit_, VK_MODNAME)(void) { return fn(); }

#define module_exit(fn)                                                    \
	void __vk_cat(vk_modexit_, VK_MODNAME)(void);                      \
	void __vk_cat(vk_modexit_, VK_MODNAME)(void) { fn(); }

#endif
