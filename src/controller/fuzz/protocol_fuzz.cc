// libFuzzer target: client input through the line splitter, the command
// message parser and the command dispatch of the client handler.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <glog/logging.h>

#include "controller/controller_context.h"
#include "fifo_ipc/cmd_msg.h"

namespace {

struct Harness {
    event_base* base = event_base_new();
    Context ctx;
    bufferevent* client = nullptr;
    int peer = -1;

    Harness() {
        ctx.base_ = base;
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
        evutil_make_socket_nonblocking(sv[0]);
        evutil_make_socket_nonblocking(sv[1]);
        client = bufferevent_socket_new(base, sv[0], BEV_OPT_CLOSE_ON_FREE);
        bufferevent_enable(client, EV_READ | EV_WRITE);
        ctx.client_handler_.addClient(client);
        peer = sv[1];
    }

    void drain() {
        event_base_loop(base, EVLOOP_NONBLOCK);
        char buf[65536];
        while (read(peer, buf, sizeof buf) > 0) {
        }
        evbuffer* out = bufferevent_get_output(client);
        evbuffer_drain(out, evbuffer_get_length(out));
    }
};

Harness* harness() {
    static Harness* h = new Harness();
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // a stop command arms the 15 s job alarm, which the daemon's loop
    // would take; here nothing takes it
    signal(SIGALRM, SIG_IGN);
    FLAGS_minloglevel = 3;
    FLAGS_logtostderr = true;
    harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);

    // the message parser alone
    if (auto msg = CmdMessage::CreateWithCmdString(text)) {
        std::string again = msg->GetString();
        auto round = CmdMessage::CreateWithCmdString(again);
        if (!round || round->GetCmd() != msg->GetCmd()) __builtin_trap();
    }

    // the client path: lines as the read callback cuts them
    Harness* h = harness();
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) break;
        if (nl > start) h->ctx.client_handler_.handle(text.substr(start, nl - start), h->client);
        start = nl + 1;
    }
    h->drain();
    return 0;
}
