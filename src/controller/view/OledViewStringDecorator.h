// A row with a text in the list text field of its row (fields 3, 4, 5 for
// rows 0, 1, 2), drawn the same whether or not the row is reversed.
#pragma once

#include <memory>
#include <string>

#include "view/OledViewDecorator.h"

class OledViewStringDecorator final : public OledViewDecorator {
public:
    OledViewStringDecorator(std::shared_ptr<OledView> view, std::string text);
    void repaint(void* p) override;
    void clear(void* p) override;

private:
    std::string text_;
};
