// A view that paints itself at one row of a list on the OLED screen.
#pragma once

class OledView {
public:
    // p points to an int: the row within the visible window (0 is the top).
    virtual void repaint(void* p) = 0;
    virtual void clear(void* p) = 0;
    virtual void set_reverse(bool reverse);
    virtual bool reverse() const;
    virtual void set_accessory_detail(bool detail);
    virtual bool accessory_detail() const;

protected:
    // Views are held as shared pointers made from their own class, whose
    // deleter destroys the concrete object.
    ~OledView() = default;

private:
    bool reverse_ = false;
    bool accessory_detail_ = false;
};
