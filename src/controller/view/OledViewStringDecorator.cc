#include "view/OledViewStringDecorator.h"

#include <utility>

#include <glog/logging.h>

#include "device/oled.h"

OledViewStringDecorator::OledViewStringDecorator(std::shared_ptr<OledView> view, std::string text)
    : OledViewDecorator(std::move(view)), text_(std::move(text)) {}

void OledViewStringDecorator::repaint(void* p) {
    int index = *static_cast<int*>(p);
    CHECK(index <= 2) << "invalid repaint index " << index;
    OledViewDecorator::repaint(p);
    oled_number(index + NUM_ROW0, text_.c_str());
}

void OledViewStringDecorator::clear(void* p) {
    OledViewDecorator::clear(p);
    oled_clearNumber(*static_cast<int*>(p) + NUM_ROW0);
}
