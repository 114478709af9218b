// A paged list of row views: a window of `page` rows, the selected row
// (inverted when the list's reversed flag is set), the cursor icon at the
// selected row when that row leads further, and a scroll bar when the rows do
// not all fit.
#pragma once

#include <memory>
#include <vector>

#include "view/OledView.h"

class OledListView : public OledView {
public:
    // Empty list; draws nothing. The owning screen appends its rows to
    // items_, sets the flags and paints.
    explicit OledListView(int page);
    // Shares the rows and paints at once.
    OledListView(std::vector<std::shared_ptr<OledView>> const& items, int page);
    ~OledListView() = default;

    // The argument is not used.
    void repaint(void* p) override;
    void clear(void* p) override;

    // Move the selection one down / up, wrapping around, and repaint. A list
    // without rows stays as it is.
    void next();
    void previous();
    // Throws std::out_of_range when index is not below the row count.
    void showSelectIndex(int index);
    void check(unsigned int index) const;
    // Window start and cursor row from the selected index.
    void caculateIndex();
    // Erases the cursor and, when the selection left the window, the rows.
    void subClear();

    // No cursor is drawn on this list, so moves and clear erase none.
    void set_cursor_free(bool free) { cursor_free_ = free; }
    bool cursor_free() const { return cursor_free_; }
    unsigned selectIndex() const { return select_index_; }
    unsigned windowStart() const { return start_; }
    int cursorRow() const { return cursor_; }
    int page() const { return page_; }

    std::vector<std::shared_ptr<OledView>> items_;

private:
    void moveTo(unsigned index);
    bool inWindow(unsigned index) const;
    int visibleRows() const;

    int page_;
    unsigned start_ = 0;
    unsigned select_index_ = 0;
    int cursor_ = 0;
    bool cursor_free_ = false;
    bool scroller_ = false;
};
