// libevent objects held by unique_ptr, each freed with its own free call.
#pragma once

#include <memory>

#include <event2/bufferevent.h>
#include <event2/event.h>

template <typename T, void (*Free)(T*)>
struct LibeventFree {
    void operator()(T* p) const { Free(p); }
};

using EventPtr = std::unique_ptr<event, LibeventFree<event, event_free>>;
using BufferEventPtr = std::unique_ptr<bufferevent, LibeventFree<bufferevent, bufferevent_free>>;
using EventBasePtr = std::unique_ptr<event_base, LibeventFree<event_base, event_base_free>>;
