#include "view/OledViewResolutionDecorator.h"

#include <utility>

OledViewResolutionDecorator::OledViewResolutionDecorator(std::shared_ptr<OledView> view, iconState icon)
    : OledViewDecorator(std::move(view)), icon_(icon) {}

void OledViewResolutionDecorator::repaint(void* p) {
    OledViewDecorator::repaint(p);
    int row = *static_cast<int*>(p);
    if (reverse())
        oled_logoReverse(icon_, row);
    else
        oled_logoShift(icon_, row);
}

void OledViewResolutionDecorator::clear(void* p) {
    OledViewDecorator::clear(p);
    oled_clearLogoShift(icon_, *static_cast<int*>(p));
}
