// The controller's context in the test's own process, with its event base
// and clients on socket pairs: the handler's end of each pair is taken as
// the listener takes a connection, so its input runs the daemon's own line
// path. Shared by the in-process tests and the protocol fuzzer.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>

#include "controller/controller_context.h"

class InProcessController {
public:
    InProcessController() : ctx_(std::make_unique<Context>()), base_(event_base_new()) { ctx_->base_ = base_; }
    ~InProcessController() {
        endClients(*ctx_);
        dropClients();
        ctx_.reset();
        event_base_free(base_);
    }
    InProcessController(const InProcessController&) = delete;
    InProcessController& operator=(const InProcessController&) = delete;

    Context& ctx() { return *ctx_; }
    ClientHandler& handler() { return ctx_->client_handler_; }
    event_base* base() { return base_; }

    // A connected client: the test's end of the pair, -1 when the handler
    // refused it (the test's end is then closed by the handler's close).
    // The handler's end is in bev (nullptr when refused).
    int addClient(bufferevent** bev = nullptr) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sv) != 0) return -1;
        bufferevent* b = handler().clients_.accept(sv[0]);
        if (bev) *bev = b;
        peers_.push_back(sv[1]);
        return sv[1];
    }

    // Runs what is ready in the loop (reads, writes, deferred drops).
    void spin() {
        for (int i = 0; i < 20; i++) event_base_loop(base_, EVLOOP_NONBLOCK);
    }

    // What the client's end has received by now.
    std::string received(int fd) {
        spin();
        std::string out;
        char buf[65536];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

    // Frees every client and closes the test's ends.
    void dropClients() {
        handler().clients_.clear();
        for (int fd : peers_) close(fd);
        peers_.clear();
    }

private:
    std::unique_ptr<Context> ctx_;
    event_base* base_;
    std::vector<int> peers_;
};
