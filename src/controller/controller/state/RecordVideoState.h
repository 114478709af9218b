// The idle record screen: first state after start-up; select records.
#pragma once

#include "controller/state/carousel.h"

struct Context;

class RecordVideoState : public CarouselState {
public:
    explicit RecordVideoState(Context& ctx);

    void show() override;
    void handleButton1() override;

    // Free bytes a recording needs at its start (400 MiB).
    static constexpr unsigned long long kRecordRoom = 419430400ULL;
};
