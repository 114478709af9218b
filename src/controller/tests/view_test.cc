// The list views against a recording of the OLED calls they make: this
// program links the views with its own oled_* functions, which log each call
// and keep a model of what stands on the list rows.
#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "controller/screen_codes.h"
#include "device/oled.h"
#include "view/OledListItemView.h"
#include "view/OledListView.h"
#include "view/OledViewResolutionDecorator.h"
#include "view/OledViewStringDecorator.h"

namespace {

std::vector<std::string> g_calls;

// What the list rows show: icon at a row -> drawn inverted; list texts by
// field; the scroll bar.
struct Screen {
    std::map<std::pair<int, int>, bool> icons;
    std::map<int, std::string> texts;
    bool scroller = false;
    int total = -1, index = -1;
};
Screen g_screen;

void record(std::string call) { g_calls.push_back(std::move(call)); }

int draw(const char* what, int icon, int shift, bool reversed) {
    record(std::string(what) + " " + std::to_string(icon) + " " + std::to_string(shift));
    g_screen.icons[{icon, shift}] = reversed;
    return 0;
}

}  // namespace

extern "C" {
int oled_logoShift(int icon, int shift) { return draw("logoShift", icon, shift, false); }
int oled_logoReverse(int icon, int shift) { return draw("logoReverse", icon, shift, true); }
int oled_logo(int icon) { return oled_logoShift(icon, 0); }
int oled_clearLogoShift(int icon, int shift) {
    record("clearLogoShift " + std::to_string(icon) + " " + std::to_string(shift));
    g_screen.icons.erase({icon, shift});
    return 0;
}
int oled_clearLogo(int icon) {
    record("clearLogo " + std::to_string(icon));
    if (icon == icon::kListArea) {
        // the list area covers every row but the cursor column and the bar
        for (auto it = g_screen.icons.begin(); it != g_screen.icons.end();)
            it = it->first.first == icon::kCursor ? std::next(it) : g_screen.icons.erase(it);
        g_screen.texts.clear();
    } else {
        g_screen.icons.erase({icon, 0});
    }
    return 0;
}
int oled_number(int type, const char* text) {
    record("number " + std::to_string(type) + " " + text);
    g_screen.texts[type] = text;
    return 0;
}
int oled_clearNumber(int type) {
    record("clearNumber " + std::to_string(type));
    g_screen.texts.erase(type);
    return 0;
}
int oled_scrollerInit(int x, int y, int w, int h) {
    record("scrollerInit " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(w) + " " +
           std::to_string(h));
    EXPECT_FALSE(g_screen.scroller) << "scroll bar set up twice";
    g_screen.scroller = true;
    return 0;
}
int oled_scrollerSet(int total, int index) {
    record("scrollerSet " + std::to_string(total) + " " + std::to_string(index));
    EXPECT_TRUE(g_screen.scroller) << "scroll bar moved before it was set up";
    g_screen.total = total;
    g_screen.index = index;
    return 0;
}
int oled_scrollerDestroy(void) {
    record("scrollerDestroy");
    g_screen.scroller = false;
    return 0;
}
}

namespace {

using Calls = std::vector<std::string>;

// Icons 40, 41, ... for rows 0, 1, ...
std::vector<std::shared_ptr<OledView>> rows(int n, bool detail = false) {
    std::vector<std::shared_ptr<OledView>> v;
    for (int i = 0; i < n; i++) {
        auto item = std::make_shared<OledListItemView>(40 + i);
        item->set_accessory_detail(detail);
        v.push_back(item);
    }
    return v;
}

class ListViewTest : public testing::Test {
protected:
    void SetUp() override { reset(); }
    static void reset() {
        g_calls.clear();
        g_screen = Screen{};
    }
    static Calls take() {
        Calls c;
        c.swap(g_calls);
        return c;
    }
    // Row icons on the screen, top to bottom; "*" marks an inverted one.
    static std::vector<std::string> shown() {
        std::vector<std::string> out(3);
        for (auto& [key, reversed] : g_screen.icons) {
            if (key.first == icon::kCursor || key.first < 40) continue;
            if (key.second < 0 || key.second > 2) continue;
            out[key.second] += (out[key.second].empty() ? "" : "+") + std::to_string(key.first) + (reversed ? "*" : "");
        }
        return out;
    }
    static std::vector<int> cursorRows() {
        std::vector<int> r;
        for (auto& [key, reversed] : g_screen.icons)
            if (key.first == icon::kCursor) r.push_back(key.second);
        return r;
    }
};

TEST_F(ListViewTest, WindowMovesAndWrapsOverSixRows) {
    OledListView list(rows(6, true), 3);
    // painted at once: bar, the first three rows, the cursor, the bar's block
    EXPECT_EQ(take(), (Calls{"scrollerInit 55 16 4 47", "logoShift 40 0", "logoShift 41 1", "logoShift 42 2",
                             "logoShift 39 0", "scrollerSet 6 0"}));

    list.next();
    list.next();
    EXPECT_EQ(list.selectIndex(), 2u);
    EXPECT_EQ(list.windowStart(), 0u);
    EXPECT_EQ(list.cursorRow(), 2);
    EXPECT_EQ(shown(), (std::vector<std::string>{"40", "41", "42"}));
    take();

    // past the bottom row: the area is blanked first, then rows 1-3 drawn
    list.next();
    EXPECT_EQ(take(), (Calls{"clearLogoShift 39 2", "clearLogo 17", "logoShift 41 0", "logoShift 42 1",
                             "logoShift 43 2", "logoShift 39 2", "scrollerSet 6 3"}));
    EXPECT_EQ(list.windowStart(), 1u);
    EXPECT_EQ(list.cursorRow(), 2);
    EXPECT_EQ(shown(), (std::vector<std::string>{"41", "42", "43"}));

    // back up inside the window: nothing blanked, the window stays
    list.previous();
    Calls c = take();
    EXPECT_EQ(std::count(c.begin(), c.end(), "clearLogo 17"), 0);
    EXPECT_EQ(list.windowStart(), 1u);
    EXPECT_EQ(list.cursorRow(), 1);
    EXPECT_EQ(cursorRows(), std::vector<int>{1});

    list.next();
    list.next();
    list.next();
    EXPECT_EQ(list.selectIndex(), 5u);
    EXPECT_EQ(shown(), (std::vector<std::string>{"43", "44", "45"}));
    take();

    // from the last row to the first: blanked, rows 0-2, cursor on top
    list.next();
    EXPECT_EQ(take(), (Calls{"clearLogoShift 39 2", "clearLogo 17", "logoShift 40 0", "logoShift 41 1",
                             "logoShift 42 2", "logoShift 39 0", "scrollerSet 6 0"}));
    EXPECT_EQ(list.selectIndex(), 0u);
    EXPECT_EQ(list.windowStart(), 0u);
    EXPECT_EQ(list.cursorRow(), 0);

    // and from the first to the last: rows 3-5 with the cursor at the bottom
    list.previous();
    EXPECT_EQ(list.selectIndex(), 5u);
    EXPECT_EQ(list.windowStart(), 3u);
    EXPECT_EQ(list.cursorRow(), 2);
    EXPECT_EQ(shown(), (std::vector<std::string>{"43", "44", "45"}));
    EXPECT_EQ(cursorRows(), std::vector<int>{2});
    EXPECT_EQ(g_screen.total, 6);
    EXPECT_EQ(g_screen.index, 5);
}

TEST_F(ListViewTest, ScrollBarOnlyWhenRowsDoNotFit) {
    {
        OledListView three(rows(3), 3);
        for (int i = 0; i < 4; i++) three.next();
        three.previous();
        three.showSelectIndex(2);
        three.clear(nullptr);
        for (auto& c : take()) EXPECT_EQ(c.find("scroller"), std::string::npos) << c;
    }

    // built empty and filled by the screen: nothing until the first repaint
    OledListView four(3);
    four.items_ = rows(4);
    EXPECT_TRUE(take().empty());
    four.repaint(nullptr);
    Calls c = take();
    ASSERT_FALSE(c.empty());
    EXPECT_EQ(c.front(), "scrollerInit 55 16 4 47");
    EXPECT_EQ(c.back(), "scrollerSet 4 0");

    // set up once, its block moved by every repaint after that
    for (unsigned want : {1u, 2u, 3u, 0u}) {
        four.next();
        c = take();
        EXPECT_EQ(std::count(c.begin(), c.end(), "scrollerInit 55 16 4 47"), 0);
        EXPECT_EQ(c.back(), "scrollerSet 4 " + std::to_string(want));
    }
    four.repaint(nullptr);
    EXPECT_EQ(take().back(), "scrollerSet 4 0");

    four.clear(nullptr);
    EXPECT_FALSE(g_screen.scroller);
    EXPECT_EQ(shown(), (std::vector<std::string>{"", "", ""}));
}

TEST_F(ListViewTest, ReversedListInvertsExactlyTheSelectedRow) {
    auto size = std::make_shared<OledViewResolutionDecorator>(std::make_shared<OledListItemView>(54), 22);
    auto pass = std::make_shared<OledListItemView>(45);
    auto info = std::make_shared<OledListItemView>(32);
    auto lens = std::make_shared<OledListItemView>(30);

    OledListView list(3);
    list.items_ = {size, pass, info, lens};
    list.set_reverse(true);
    list.repaint(nullptr);
    // the row and its badge both inverted; the others normal
    EXPECT_TRUE(g_screen.icons.at({54, 0}));
    EXPECT_TRUE(g_screen.icons.at({22, 0}));
    EXPECT_FALSE(g_screen.icons.at({45, 1}));
    EXPECT_FALSE(g_screen.icons.at({32, 2}));

    list.next();
    EXPECT_FALSE(g_screen.icons.at({54, 0}));
    EXPECT_FALSE(g_screen.icons.at({22, 0}));
    EXPECT_TRUE(g_screen.icons.at({45, 1}));
    EXPECT_FALSE(g_screen.icons.at({32, 2}));
    EXPECT_TRUE(pass->reverse());
    EXPECT_FALSE(size->reverse());

    // the window moved: the inverted row is the one at the bottom
    list.next();
    list.next();
    int inverted = 0;
    for (auto& [key, reversed] : g_screen.icons) inverted += reversed;
    EXPECT_EQ(inverted, 1);
    EXPECT_TRUE(g_screen.icons.at({30, 2}));

    // without the list's flag the rows keep whatever they were given
    reset();
    auto lit = std::make_shared<OledListItemView>(40);
    lit->set_reverse(true);
    OledListView plain({lit, std::make_shared<OledListItemView>(41)}, 3);
    EXPECT_TRUE(g_screen.icons.at({40, 0}));
    plain.next();
    EXPECT_TRUE(g_screen.icons.at({40, 0}));
    EXPECT_FALSE(g_screen.icons.at({41, 1}));
}

TEST_F(ListViewTest, CursorFollowsRowsThatLeadFurther) {
    auto items = rows(4);
    items[0]->set_accessory_detail(true);
    items[2]->set_accessory_detail(true);
    // the flag counts on the outermost view only
    auto inner = std::make_shared<OledListItemView>(50);
    inner->set_accessory_detail(true);
    items[3] = std::make_shared<OledViewStringDecorator>(inner, "x");

    OledListView list(items, 3);
    EXPECT_EQ(cursorRows(), std::vector<int>{0});

    take();
    list.next();  // to a row without detail: the cursor is erased, not drawn
    EXPECT_EQ(take().front(), "clearLogoShift 39 0");
    EXPECT_TRUE(cursorRows().empty());

    list.next();
    EXPECT_EQ(cursorRows(), std::vector<int>{2});
    list.next();  // the decorated row whose wrapped view has the flag
    EXPECT_TRUE(cursorRows().empty());

    // a cursor-free list never erases a cursor
    reset();
    OledListView free(3);
    free.items_ = rows(5);
    free.set_cursor_free(true);
    free.repaint(nullptr);
    for (int i = 0; i < 6; i++) free.next();
    free.showSelectIndex(4);
    free.clear(nullptr);
    for (auto& c : take()) EXPECT_EQ(c.find(" 39 "), std::string::npos) << c;
}

TEST_F(ListViewTest, SelectOutOfRangeChangesNothing) {
    OledListView list(rows(4, true), 3);
    list.showSelectIndex(3);
    EXPECT_EQ(list.windowStart(), 1u);
    Screen before = g_screen;
    take();

    for (int bad : {4, 5, -1}) {
        try {
            list.showSelectIndex(bad);
            ADD_FAILURE() << "index " << bad << " accepted";
        } catch (std::out_of_range const& e) {
            EXPECT_STREQ(e.what(), "select index out of range");
        }
    }
    EXPECT_THROW(list.check(4), std::out_of_range);
    EXPECT_NO_THROW(list.check(3));
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(list.selectIndex(), 3u);
    EXPECT_EQ(list.windowStart(), 1u);
    EXPECT_EQ(list.cursorRow(), 2);
    EXPECT_EQ(g_screen.icons, before.icons);

    // a jump into the window keeps it; one out of it blanks and moves it
    list.showSelectIndex(1);
    EXPECT_EQ(std::count(g_calls.begin(), g_calls.end(), "clearLogo 17"), 0);
    EXPECT_EQ(list.cursorRow(), 0);
    list.showSelectIndex(0);
    EXPECT_EQ(std::count(g_calls.begin(), g_calls.end(), "clearLogo 17"), 1);
    EXPECT_EQ(list.windowStart(), 0u);
    EXPECT_EQ(list.cursorRow(), 0);
}

TEST_F(ListViewTest, EmptyListStaysStill) {
    OledListView list(3);
    list.set_reverse(true);
    list.repaint(nullptr);
    list.next();
    list.previous();
    EXPECT_THROW(list.showSelectIndex(0), std::out_of_range);
    EXPECT_EQ(list.selectIndex(), 0u);
    EXPECT_EQ(list.windowStart(), 0u);
    // nothing but the erase of a cursor that was never drawn
    list.clear(nullptr);
    EXPECT_EQ(take(), (Calls{"clearLogoShift 39 0"}));
}

TEST_F(ListViewTest, ClearErasesRowsTextsBarAndCursor) {
    auto info = [](int icon, const char* text) {
        return std::make_shared<OledViewStringDecorator>(std::make_shared<OledListItemView>(icon), text);
    };
    auto badge = std::make_shared<OledViewResolutionDecorator>(std::make_shared<OledListItemView>(46), 23);
    badge->set_accessory_detail(true);
    OledListView list({info(40, "v1.0"), info(41, "SN0042"), badge, info(43, "zz")}, 3);
    EXPECT_EQ(g_screen.texts, (std::map<int, std::string>{{3, "v1.0"}, {4, "SN0042"}}));
    list.showSelectIndex(2);
    EXPECT_EQ(cursorRows(), std::vector<int>{2});
    take();

    list.clear(nullptr);
    EXPECT_EQ(take(), (Calls{"clearLogoShift 40 0", "clearNumber 3", "clearLogoShift 41 1", "clearNumber 4",
                             "clearLogoShift 46 2", "clearLogoShift 23 2", "scrollerDestroy", "clearLogoShift 39 2"}));
    EXPECT_TRUE(g_screen.icons.empty());
    EXPECT_TRUE(g_screen.texts.empty());

    // the texts go to the field of their row, inverted or not
    reset();
    OledListView moved({info(40, "a"), info(41, "b"), info(42, "c"), info(43, "d")}, 3);
    moved.set_reverse(true);
    moved.showSelectIndex(3);
    EXPECT_EQ(g_screen.texts, (std::map<int, std::string>{{3, "b"}, {4, "c"}, {5, "d"}}));
    EXPECT_TRUE(g_screen.icons.at({43, 2}));
}

TEST(OledViewStringDecoratorDeathTest, RowBelowTheListTextsStops) {
    auto row = std::make_shared<OledViewStringDecorator>(std::make_shared<OledListItemView>(40), "x");
    int r = 3;
    EXPECT_DEATH(row->repaint(&r), "index <= 2.*invalid repaint index 3");
    // a list with more visible rows than text fields stops the same way
    std::vector<std::shared_ptr<OledView>> items;
    for (int i = 0; i < 4; i++) items.push_back(row);
    EXPECT_DEATH(OledListView(items, 4), "invalid repaint index 3");
}

}  // namespace
