#include "view/OledListView.h"

#include <algorithm>
#include <stdexcept>

#include "device/oled.h"
#include "device/oled_layout.h"

OledListView::OledListView(int page) : page_(page) {}

OledListView::OledListView(std::vector<std::shared_ptr<OledView>> const& items, int page) : items_(items), page_(page) {
    repaint(nullptr);
}

int OledListView::visibleRows() const {
    int n = static_cast<int>(items_.size());
    // the window never runs past the last row
    int left = n - static_cast<int>(std::min<size_t>(start_, items_.size()));
    return std::max(0, std::min(page_, left));
}

bool OledListView::inWindow(unsigned index) const {
    return index >= start_ && index < start_ + static_cast<unsigned>(page_);
}

void OledListView::repaint(void*) {
    size_t n = items_.size();
    if (n > static_cast<size_t>(page_) && !scroller_) {
        oled_scrollerInit(list_geometry::kScrollX, list_geometry::kScrollY, list_geometry::kScrollW,
                          list_geometry::kScrollH);
        scroller_ = true;
    }
    int rows = visibleRows();
    for (int r = 0; r < rows; r++) {
        unsigned i = start_ + r;
        if (reverse()) items_[i]->set_reverse(i == select_index_);
        items_[i]->repaint(&r);
    }
    if (select_index_ < n && items_[select_index_]->accessory_detail()) oled_logoShift(icon::kCursor, cursor_);
    if (scroller_) oled_scrollerSet(static_cast<int>(n), static_cast<int>(select_index_));
}

void OledListView::clear(void*) {
    int rows = visibleRows();
    for (int r = 0; r < rows; r++) items_[start_ + r]->clear(&r);
    if (scroller_) oled_scrollerDestroy();
    if (!cursor_free_) oled_clearLogoShift(icon::kCursor, cursor_);
}

void OledListView::next() {
    if (items_.empty()) return;
    moveTo((select_index_ + 1) % items_.size());
}

void OledListView::previous() {
    if (items_.empty()) return;
    size_t n = items_.size();
    moveTo((select_index_ + n - 1) % n);
}

void OledListView::showSelectIndex(int index) {
    check(static_cast<unsigned>(index));
    moveTo(static_cast<unsigned>(index));
}

void OledListView::check(unsigned int index) const {
    if (index >= items_.size()) throw std::out_of_range("select index out of range");
}

void OledListView::caculateIndex() {
    unsigned p = static_cast<unsigned>(page_);
    if (select_index_ >= start_ + p) {
        start_ = select_index_ + 1 - p;
        cursor_ = page_ - 1;
    } else if (select_index_ < start_) {
        start_ = select_index_;
        cursor_ = 0;
    } else {
        cursor_ = static_cast<int>(select_index_ - start_);
    }
}

void OledListView::subClear() {
    if (!cursor_free_) oled_clearLogoShift(icon::kCursor, cursor_);
    if (!inWindow(select_index_)) oled_clearLogo(icon::kListArea);
}

void OledListView::moveTo(unsigned index) {
    select_index_ = index;
    subClear();
    caculateIndex();
    repaint(nullptr);
}
