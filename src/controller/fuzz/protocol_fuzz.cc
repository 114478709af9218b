// libFuzzer target: client input through the daemon's own line path (line
// splitter, input bounds, log form), the command message parser and the
// command dispatch of the client handler.
#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <glog/logging.h>

#include "fifo_ipc/cmd_msg.h"
#include "in_process.h"

namespace {

struct Harness {
    InProcessController ctl;
    bufferevent* client = nullptr;
    int peer = -1;

    // A fresh client when the last one was dropped (an over-long line).
    void connect() {
        if (client) return;
        peer = ctl.addClient(&client);
    }

    // Replies and pushes read and thrown away; an unfinished line does not
    // carry over into the next input.
    void drain() {
        ctl.received(peer);
        // a client whose output overflowed is dropped by the loop
        if (client && !ctl.handler().clients_.contains(client)) client = nullptr;
        if (!client) return;
        for (evbuffer* b : {bufferevent_get_output(client), bufferevent_get_input(client)})
            evbuffer_drain(b, evbuffer_get_length(b));
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
    harness()->connect();
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
    // the log form of a line: never longer than its cut and escape allow
    std::string logged = ClientHandler::loggedLine(text);
    if (logged.size() > 4 * ClientHandler::kLoggedLineBytes + 32) __builtin_trap();

    // the client path: the bytes as they arrive on the connection
    Harness* h = harness();
    h->connect();
    evbuffer_add(bufferevent_get_input(h->client), data, size);
    if (!h->ctl.handler().clients_.readLines(h->client)) h->client = nullptr;
    h->drain();
    return 0;
}
