// One list row: an icon shifted down to its row, inverted when reversed.
#pragma once

#include "device/oled.h"
#include "view/OledView.h"

class OledListItemView final : public OledView {
public:
    explicit OledListItemView(iconState icon);
    void repaint(void* p) override;
    void clear(void* p) override;

private:
    iconState icon_;
};
