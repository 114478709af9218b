#include "view/OledView.h"

void OledView::set_reverse(bool reverse) { reverse_ = reverse; }

bool OledView::reverse() const { return reverse_; }

void OledView::set_accessory_detail(bool detail) { accessory_detail_ = detail; }

bool OledView::accessory_detail() const { return accessory_detail_; }
