#include "view/OledListItemView.h"

OledListItemView::OledListItemView(iconState icon) : icon_(icon) {}

void OledListItemView::repaint(void* p) {
    int row = *static_cast<int*>(p);
    if (reverse())
        oled_logoReverse(icon_, row);
    else
        oled_logoShift(icon_, row);
}

void OledListItemView::clear(void* p) { oled_clearLogoShift(icon_, *static_cast<int*>(p)); }
