// A view wrapped to draw something more on its row. The reversed flag is
// passed on to the wrapped view; the accessory-detail flag stays the
// decorator's own.
#pragma once

#include <memory>

#include "view/OledView.h"

class OledViewDecorator : public OledView {
public:
    explicit OledViewDecorator(std::shared_ptr<OledView> view);
    void repaint(void* p) override;
    void clear(void* p) override;
    void set_reverse(bool reverse) override;

protected:
    ~OledViewDecorator() = default;

private:
    std::shared_ptr<OledView> view_;
};
