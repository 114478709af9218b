// A client of the handler on one end of a socket pair, for tests that run
// the handler in their own process.
#pragma once

#include <sys/socket.h>

#include <vector>

#include <event2/bufferevent.h>
#include <event2/util.h>

#include "controller/ClientHandler.h"

// The handler's end becomes a buffered event of base (kept in bevs); the
// test's end is returned (and kept in peers).
inline int addSocketClient(event_base* base, ClientHandler& handler, std::vector<bufferevent*>& bevs,
                           std::vector<int>& peers) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    evutil_make_socket_nonblocking(sv[0]);
    evutil_make_socket_nonblocking(sv[1]);
    bufferevent* bev = bufferevent_socket_new(base, sv[0], BEV_OPT_CLOSE_ON_FREE);
    bufferevent_enable(bev, EV_READ | EV_WRITE);
    handler.addClient(bev);
    bevs.push_back(bev);
    peers.push_back(sv[1]);
    return sv[1];
}
