// Baseline of the load benchmark: a bare libevent server on the camera's
// port that answers every line with the heartTest reply, nothing else (no
// parsing, no log, no screen). Runs until SIGINT.
//   controller_bench_baseline
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>

namespace {

const char kReply[] = "{\"type\":\"heartTestResult\",\"code\":true}\n";

void onRead(bufferevent* bev, void*) {
    evbuffer* in = bufferevent_get_input(bev);
    for (;;) {
        size_t len = 0;
        char* line = evbuffer_readln(in, &len, EVBUFFER_EOL_LF);
        if (!line) break;
        std::free(line);
        if (len) bufferevent_write(bev, kReply, sizeof kReply - 1);
    }
}

void onEvent(bufferevent* bev, short events, void*) {
    if (events & (BEV_EVENT_EOF | BEV_EVENT_ERROR)) bufferevent_free(bev);
}

void onAccept(evconnlistener* listener, evutil_socket_t fd, sockaddr*, int, void*) {
    event_base* base = evconnlistener_get_base(listener);
    bufferevent* bev = bufferevent_socket_new(base, fd, BEV_OPT_CLOSE_ON_FREE);
    bufferevent_setcb(bev, onRead, nullptr, onEvent, nullptr);
    bufferevent_enable(bev, EV_READ | EV_WRITE);
}

void onSigInt(evutil_socket_t, short, void* arg) { event_base_loopbreak(static_cast<event_base*>(arg)); }

}  // namespace

int main() {
    event_base* base = event_base_new();
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8888);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    evconnlistener* listener =
        evconnlistener_new_bind(base, onAccept, nullptr, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE, 10,
                                reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (!listener) {
        std::perror("bind");
        return 1;
    }
    event* stop = evsignal_new(base, SIGINT, onSigInt, base);
    event_add(stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    event_base_dispatch(base);
    event_free(stop);
    evconnlistener_free(listener);
    event_base_free(base);
    return 0;
}
