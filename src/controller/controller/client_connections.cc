#include "controller/client_connections.h"

#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <glog/logging.h>

// One connected client: its buffered event (whose input holds the lines it
// sent and that wait for their turns), its peer and where it stands.
struct ClientConnections::Record {
    BufferEventPtr bev;
    std::string address;                          // the peer's address bytes ("" for a local pair)
    std::chrono::steady_clock::time_point heard;  // last bytes received
    std::chrono::steady_clock::time_point since;  // connected
    std::chrono::steady_clock::time_point ran;    // a line of it last run
    bool sent_line = false;                       // a complete line came
    size_t unfinished = 0;                        // input bytes without a line end, in the total
    bool in_turn = false;                         // a complete line waits: in ready_
    bool input_ended = false;                     // the peer sends nothing more
    bool output_broken = false;                   // the peer takes nothing more
    bool overflowed = false;                      // dropped at the next turn of the loop
    // messages held back behind kOutputAhead, in order
    struct Held {
        std::string text;
        bool latest_only;
    };
    std::deque<Held> held;
    size_t held_bytes = 0;

    evbuffer* input() const { return bufferevent_get_input(bev.get()); }
    evbuffer* output() const { return bufferevent_get_output(bev.get()); }
};

struct ClientCallbacks {
    static void onClientRead(bufferevent* bev, void* arg) { static_cast<ClientConnections*>(arg)->readLines(bev); }
    static void onClientWritten(bufferevent* bev, void* arg) {
        auto* self = static_cast<ClientConnections*>(arg);
        if (ClientConnections::Record* r = self->find(bev)) self->flushed(*r);
    }
    static void onClientEvent(bufferevent* bev, short events, void* arg) {
        auto* self = static_cast<ClientConnections*>(arg);
        ClientConnections::Record* r = self->find(bev);
        if (!r) return;
        if (events & BEV_EVENT_TIMEOUT) {
            LOG(WARNING) << "client left its replies unread, dropping client";
            self->end(*r, ClientConnections::Ending::dropped);
            return;
        }
        if (!(events & (BEV_EVENT_EOF | BEV_EVENT_ERROR))) return;
        if (events & BEV_EVENT_ERROR) {
            LOG(ERROR) << "error on read event" << evutil_socket_error_to_string(EVUTIL_SOCKET_ERROR());
        }
        if ((events & BEV_EVENT_ERROR) && (events & BEV_EVENT_WRITING) && !r->input_ended) {
            // the peer takes nothing more; what it sent before still runs
            self->discardOutput(*r);
            return;
        }
        self->inputEnded(*r, (events & BEV_EVENT_ERROR) != 0);
    }
};

namespace {

// The peer's address bytes of a socket ("" when it has none).
std::string peerAddress(evutil_socket_t fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {};
    if (addr.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(addr).sin_addr;
        return std::string(reinterpret_cast<const char*>(&in), sizeof in);
    }
    if (addr.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr;
        return std::string(reinterpret_cast<const char*>(&in6), sizeof in6);
    }
    return {};
}

// Position of the first line end of the buffer at or after from; -1 if none.
ev_ssize_t lineEnd(evbuffer* buf, size_t from, size_t* eol_len) {
    if (from >= evbuffer_get_length(buf)) return -1;
    evbuffer_ptr start;
    evbuffer_ptr_set(buf, &start, from, EVBUFFER_PTR_SET);
    return evbuffer_search_eol(buf, &start, eol_len, EVBUFFER_EOL_LF).pos;
}

}  // namespace

ClientConnections::ClientConnections(event_base* const& base, LineHandler on_line)
    : base_(base), on_line_(std::move(on_line)) {}

ClientConnections::~ClientConnections() { clear(); }

ClientConnections::Record* ClientConnections::find(bufferevent* client) const {
    auto it = records_.find(client);
    return it == records_.end() ? nullptr : it->second.get();
}

std::vector<bufferevent*> ClientConnections::list() const {
    std::vector<bufferevent*> out;
    out.reserve(records_.size());
    for (const auto& entry : records_) out.push_back(entry.first);
    return out;
}

bufferevent* ClientConnections::accept(evutil_socket_t fd) {
    if (records_.size() >= kMaxClients) {
        // a connection that is not kept makes room; when every place is
        // kept the newcomer goes
        bufferevent* victim = evictionVictim();
        auto now = std::chrono::steady_clock::now();
        if (now - last_refusal_log_ >= std::chrono::seconds(1)) {
            last_refusal_log_ = now;
            LOG(ERROR) << "too many clients, connection closed";
        }
        Record* r = find(victim);
        if (!r) {
            evutil_closesocket(fd);
            return nullptr;
        }
        end(*r, Ending::dropped);
    }
    bufferevent* bev = bufferevent_socket_new(base_, fd, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
        evutil_closesocket(fd);
        LOG(ERROR) << "no buffer event for client";
        return nullptr;
    }
    auto record = std::make_unique<Record>();
    record->bev.reset(bev);
    record->address = peerAddress(fd);
    record->heard = record->since = std::chrono::steady_clock::now();
    bufferevent_setcb(bev, ClientCallbacks::onClientRead, ClientCallbacks::onClientWritten,
                      ClientCallbacks::onClientEvent, this);
    // lines wait in the input as they came; past this much nothing more is
    // read until their turns have taken some
    bufferevent_setwatermark(bev, EV_READ, 0, kMaxWaitingInput);
    bufferevent_enable(bev, EV_READ | EV_WRITE);
    records_.emplace(bev, std::move(record));
    LOG(INFO) << "new client connected" << records_.size();
    return bev;
}

bufferevent* ClientConnections::evictionVictim() const {
    auto now = std::chrono::steady_clock::now();
    auto leaving = [](const Record& r) { return !r.sent_line || r.input_ended || r.output_broken; };
    // one kept place per address, so that no address keeps another's
    // newcomers out: the one there longest of those heard using it lately
    std::map<std::string, size_t> per_address;
    std::map<std::string, const Record*> kept;
    for (const auto& entry : records_) {
        const Record& r = *entry.second;
        ++per_address[r.address];
        if (leaving(r) || now - r.ran > active_window_) continue;
        const Record*& k = kept[r.address];
        if (!k || r.since < k->since) k = &r;
    }
    const Record* victim = nullptr;
    auto before = [&](const Record& a, const Record& b) {
        if (leaving(a) != leaving(b)) return leaving(a);
        size_t ca = per_address[a.address], cb = per_address[b.address];
        if (ca != cb) return ca > cb;
        return a.heard < b.heard;
    };
    for (const auto& entry : records_) {
        const Record& r = *entry.second;
        auto k = kept.find(r.address);
        if (k != kept.end() && k->second == &r) continue;
        if (!victim || before(r, *victim)) victim = &r;
    }
    return victim ? victim->bev.get() : nullptr;
}

bool ClientConnections::readLines(bufferevent* client) {
    Record* r = find(client);
    if (!r) return false;
    r->heard = std::chrono::steady_clock::now();
    if (r->overflowed) {
        // it goes at the next turn of the loop
        evbuffer_drain(r->input(), evbuffer_get_length(r->input()));
        setUnfinished(*r, 0);
        return true;
    }
    // a client in the rotation has its input bounded by the watermark; of
    // the others only the new bytes can hold a line end
    if (r->in_turn) return true;
    return settle(*r, r->unfinished);
}

bool ClientConnections::settle(Record& r, size_t scanned_from) {
    size_t eol = 0;
    if (lineEnd(r.input(), scanned_from, &eol) >= 0) {
        r.sent_line = true;
        setUnfinished(r, 0);
        if (!r.in_turn) {
            r.in_turn = true;
            ready_.push_back(&r);
        }
        scheduleServe();
        return true;
    }
    if (r.input_ended) {
        finishIfDrained(r);
        return false;
    }
    size_t left = evbuffer_get_length(r.input());
    if (left > kMaxLine) {
        drop(r, "client line too long, dropping client");
        return false;
    }
    setUnfinished(r, left);
    bool kept = true;
    while (unfinished_total_ > kMaxUnfinishedInput) {
        Record* most = nullptr;
        for (const auto& entry : records_)
            if (!most || entry.second->unfinished > most->unfinished) most = entry.second.get();
        if (most == &r) kept = false;
        drop(*most, "client input over the bound, dropping client");
    }
    return kept;
}

void ClientConnections::setUnfinished(Record& r, size_t bytes) {
    unfinished_total_ = unfinished_total_ - r.unfinished + bytes;
    r.unfinished = bytes;
}

ClientConnections::Cut ClientConnections::nextLine(Record& r, std::string& line) {
    evbuffer* input = r.input();
    for (;;) {
        size_t eol = 0;
        ev_ssize_t at = lineEnd(input, 0, &eol);
        if (at < 0) return Cut::none;
        // the same bound as for a line still growing, whatever came before it
        if (static_cast<size_t>(at) > kMaxLine) return Cut::too_long;
        line.resize(static_cast<size_t>(at));
        if (at > 0) evbuffer_remove(input, &line[0], line.size());
        evbuffer_drain(input, eol);
        if (!line.empty()) return Cut::line;
    }
}

size_t ClientConnections::waitingLines(bufferevent* client) const {
    Record* r = find(client);
    if (!r) return 0;
    size_t lines = 0, eol = 0;
    for (size_t from = 0;;) {
        ev_ssize_t at = lineEnd(r->input(), from, &eol);
        if (at < 0) return lines;
        if (static_cast<size_t>(at) > from) ++lines;
        from = static_cast<size_t>(at) + eol;
    }
}

void ClientConnections::scheduleServe() {
    if (serve_scheduled_) return;
    if (!base_) {
        while (!ready_.empty()) serveTurn();
        return;
    }
    if (!serve_timer_) {
        serve_timer_.reset(evtimer_new(
            base_, [](evutil_socket_t, short, void* arg) { static_cast<ClientConnections*>(arg)->serveTurn(); }, this));
        if (!serve_timer_) {
            LOG(ERROR) << "no timer for client lines";
            while (!ready_.empty()) serveTurn();
            return;
        }
    }
    serve_scheduled_ = true;
    // a timer that is due at once, not an activation: the next turn comes
    // after the loop has polled the buttons and the other clients again
    timeval now = {0, 0};
    evtimer_add(serve_timer_.get(), &now);
}

void ClientConnections::serveTurn() {
    serve_scheduled_ = false;
    auto start = std::chrono::steady_clock::now();
    auto spent = [&] { return std::chrono::steady_clock::now() - start >= turn_budget_; };
    for (size_t turns = ready_.size(); turns > 0 && !ready_.empty(); --turns) {
        Record* r = ready_.front();
        ready_.pop_front();
        r->in_turn = false;
        bufferevent* client = r->bev.get();
        std::string line;
        for (size_t n = 0; r && n < kLinesPerTurn; ++n) {
            // a slow line (one that runs programs) spends the turn's budget
            if (n > 0 && spent()) break;
            if (r->overflowed) break;
            Cut cut = nextLine(*r, line);
            if (cut == Cut::too_long) {
                drop(*r, "client line too long, dropping client");
                r = nullptr;
                break;
            }
            if (cut == Cut::none) break;
            r->ran = std::chrono::steady_clock::now();
            on_line_(line, client);
            r = find(client);
        }
        // back in the rotation while lines wait; a leaving client whose
        // lines have all run is finished
        if (r && !r->overflowed) settle(*r, 0);
        if (spent()) break;
    }
    if (!ready_.empty()) scheduleServe();
}

void ClientConnections::inputEnded(Record& r, bool broken) {
    r.input_ended = true;
    bufferevent_disable(r.bev.get(), EV_READ);
    if (broken) discardOutput(r);
    // every complete line it sent still runs in its turns
    if (!r.in_turn) settle(r, r.unfinished);
}

void ClientConnections::finishIfDrained(Record& r) {
    // an unfinished last line is never run
    setUnfinished(r, 0);
    evbuffer_drain(r.input(), evbuffer_get_length(r.input()));
    if (r.output_broken || (evbuffer_get_length(r.output()) == 0 && r.held.empty())) {
        end(r, Ending::drained);
        return;
    }
    // the last replies go out first (the write callback ends it)
    timeval limit = {static_cast<time_t>(kDrainTimeout.count()), 0};
    bufferevent_set_timeouts(r.bev.get(), nullptr, &limit);
}

void ClientConnections::flushed(Record& r) {
    releaseHeld(r);
    if (r.input_ended && !r.in_turn && evbuffer_get_length(r.output()) == 0) end(r, Ending::drained);
}

void ClientConnections::releaseHeld(Record& r) {
    while (!r.held.empty() && evbuffer_get_length(r.output()) < kOutputAhead) {
        const std::string& text = r.held.front().text;
        bufferevent_write(r.bev.get(), text.data(), text.size());
        bufferevent_write(r.bev.get(), "\n", 1);
        r.held_bytes -= text.size() + 1;
        r.held.pop_front();
    }
}

void ClientConnections::discardOutput(Record& r) {
    r.output_broken = true;
    evbuffer_drain(r.output(), evbuffer_get_length(r.output()));
    r.held.clear();
    r.held_bytes = 0;
}

bool ClientConnections::write(bufferevent* client, const std::string& text, bool latest_only) {
    Record* r = find(client);
    if (!r || r->overflowed || r->output_broken) return false;
    evbuffer* out = r->output();
    size_t waiting = evbuffer_get_length(out);
    // a client that left this much unread is dropped; one that keeps up gets
    // every message whole, however long (a full card's listing)
    if (waiting + r->held_bytes > kMaxQueuedOutput) {
        markOverflowed(*r);
        return false;
    }
    if (!r->held.empty() || waiting >= kOutputAhead) {
        // held back in order; of the pushes that only tell how things stand
        // a slow reader gets the latest, not every one another client asked
        // for
        auto& held = r->held;
        if (latest_only) {
            auto old = std::find_if(held.begin(), held.end(), [](const Record::Held& h) { return h.latest_only; });
            if (old != held.end()) {
                r->held_bytes -= old->text.size() + 1;
                held.erase(old);
            }
        }
        held.push_back({text, latest_only});
        r->held_bytes += text.size() + 1;
        return true;
    }
    size_t sent = 0;
    int fd = bufferevent_getfd(client);
    if (fd >= 0 && waiting == 0) {
        // nothing queued before it: hand the line to the socket at once and
        // queue only what it did not take
        char nl = '\n';
        iovec parts[2] = {{const_cast<char*>(text.data()), text.size()}, {&nl, 1}};
        msghdr m{};
        m.msg_iov = parts;
        m.msg_iovlen = 2;
        ssize_t n = sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) {
            // the peer has gone; what it sent before still runs
            discardOutput(*r);
            return false;
        }
        sent = n > 0 ? static_cast<size_t>(n) : 0;
        if (sent == text.size() + 1) return true;
    }
    if (sent < text.size() && bufferevent_write(client, text.data() + sent, text.size() - sent) != 0) return false;
    return bufferevent_write(client, "\n", 1) == 0;
}

bool ClientConnections::isDropping(bufferevent* client) const {
    Record* r = find(client);
    return r && r->overflowed;
}

bool ClientConnections::outputBroken(bufferevent* client) const {
    Record* r = find(client);
    return r && r->output_broken;
}

void ClientConnections::markOverflowed(Record& r) {
    if (r.overflowed) return;
    r.overflowed = true;
    LOG(ERROR) << "client output overflow, dropping client";
    // not now: a push may be walking the clients
    if (drop_scheduled_ || !base_) return;
    drop_scheduled_ = true;
    timeval now = {0, 0};
    event_base_once(
        base_, -1, EV_TIMEOUT,
        [](evutil_socket_t, short, void* arg) { static_cast<ClientConnections*>(arg)->dropOverflowed(); }, this, &now);
}

void ClientConnections::dropOverflowed() {
    drop_scheduled_ = false;
    std::vector<Record*> doomed;
    for (const auto& entry : records_)
        if (entry.second->overflowed) doomed.push_back(entry.second.get());
    for (Record* r : doomed) end(*r, Ending::dropped);
}

void ClientConnections::drop(Record& r, const char* why) {
    LOG(ERROR) << why;
    end(r, Ending::dropped);
}

bool ClientConnections::remove(bufferevent* client) {
    Record* r = find(client);
    if (!r) return false;
    end(*r, Ending::quiet);
    return true;
}

void ClientConnections::clear() {
    while (!records_.empty()) end(*records_.begin()->second, Ending::quiet);
    serve_timer_.reset();
    serve_scheduled_ = false;
}

void ClientConnections::end(Record& r, Ending how) {
    // drained: all it sent has run; dropped: the controller closed it, and
    // what it still sent is not run
    setUnfinished(r, 0);
    ready_.erase(std::remove(ready_.begin(), ready_.end(), &r), ready_.end());
    if (how != Ending::quiet) LOG(INFO) << "client disconnected ..";
    records_.erase(r.bev.get());
    if (records_.empty()) {
        // nothing left to serve; the loop may be about to end
        serve_timer_.reset();
        serve_scheduled_ = false;
    }
    scheduleTrim();
}

void ClientConnections::scheduleTrim() {
    if (trim_scheduled_ || !base_) return;
    trim_scheduled_ = true;
    // one trim after a burst of drops, not one per client
    timeval later = {0, 200000};
    event_base_once(
        base_, -1, EV_TIMEOUT,
        [](evutil_socket_t, short, void* arg) {
            static_cast<ClientConnections*>(arg)->trim_scheduled_ = false;
            malloc_trim(0);
        },
        this, &later);
}
