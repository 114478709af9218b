#include "umockdev_handles.h"

#include <glib-object.h>

namespace vcam {

void Unref::operator()(void* object) const { g_object_unref(object); }

}  // namespace vcam
