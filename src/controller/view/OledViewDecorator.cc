#include "view/OledViewDecorator.h"

#include <utility>

OledViewDecorator::OledViewDecorator(std::shared_ptr<OledView> view) : view_(std::move(view)) {}

void OledViewDecorator::repaint(void* p) { view_->repaint(p); }

void OledViewDecorator::clear(void* p) { view_->clear(p); }

void OledViewDecorator::set_reverse(bool reverse) {
    OledView::set_reverse(reverse);
    view_->set_reverse(reverse);
}
