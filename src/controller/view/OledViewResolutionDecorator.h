// A row with a resolution badge icon drawn after the wrapped view.
#pragma once

#include <memory>

#include "device/oled.h"
#include "view/OledViewDecorator.h"

class OledViewResolutionDecorator final : public OledViewDecorator {
public:
    OledViewResolutionDecorator(std::shared_ptr<OledView> view, iconState icon);
    void repaint(void* p) override;
    void clear(void* p) override;

private:
    iconState icon_;
};
