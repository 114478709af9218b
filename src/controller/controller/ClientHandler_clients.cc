// Client connections: accept with the client limit and its eviction, the
// line path with its input bounds and fair turns, the log form of a received
// line, and the clients' end.
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <glog/logging.h>

#include "controller/ClientHandler.h"
#include "controller/controller_context.h"
#include "controller/loop_guard.h"

namespace {

void onClientRead(bufferevent* bev, void* arg) { static_cast<ClientHandler*>(arg)->readLines(bev); }

void onClientEvent(bufferevent* bev, short events, void* arg) {
    auto* handler = static_cast<ClientHandler*>(arg);
    if (!(events & (BEV_EVENT_EOF | BEV_EVENT_ERROR))) return;
    if (events & BEV_EVENT_ERROR) {
        LOG(ERROR) << "error on read event" << evutil_socket_error_to_string(EVUTIL_SOCKET_ERROR());
    }
    LOG(INFO) << "client disconnected ..";
    handler->removeClient(bev);
}

// Length of the UTF-8 sequence of a printable character at s (a code point
// from U+00A0 on, shortest form); 0 when there is none.
size_t printableUtf8(const unsigned char* s, size_t n) {
    unsigned char c = s[0];
    size_t len;
    unsigned long cp;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (n < len) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    bool shortest = (len == 2 && cp >= 0x80) || (len == 3 && cp >= 0x800) || (len == 4 && cp >= 0x10000);
    bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    if (!shortest || surrogate || cp > 0x10FFFF || cp < 0xA0) return 0;
    return len;
}

// True when the line is logged as it is: short, printable ASCII only.
bool plainText(const std::string& line) {
    if (line.size() > ClientHandler::kLoggedLineBytes) return false;
    for (char ch : line) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F) return false;
    }
    return true;
}

}  // namespace

std::string ClientHandler::loggedLine(std::string const& line) {
    size_t shown = std::min(line.size(), kLoggedLineBytes);
    const auto* s = reinterpret_cast<const unsigned char*>(line.data());
    std::string out;
    out.reserve(shown + 32);
    for (size_t i = 0; i < shown;) {
        unsigned char c = s[i];
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        size_t len = printableUtf8(s + i, shown - i);
        if (len) {
            out.append(line, i, len);
            i += len;
            continue;
        }
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += hex;
        ++i;
    }
    if (shown < line.size()) out += "... (" + std::to_string(line.size()) + " bytes)";
    return out;
}

bufferevent* ClientHandler::acceptClient(evutil_socket_t fd) {
    if (clients_.size() >= kMaxClients) {
        // a phone must always get in: the connection silent longest of the
        // address holding the most makes room
        bufferevent* victim = evictionVictim();
        auto now = std::chrono::steady_clock::now();
        if (now - last_refusal_log_ >= std::chrono::seconds(1)) {
            last_refusal_log_ = now;
            LOG(ERROR) << "too many clients, connection closed";
        }
        if (victim && removeClient(victim)) LOG(INFO) << "client disconnected ..";
    }
    bufferevent* bev = bufferevent_socket_new(ctx_.base_, fd, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
        evutil_closesocket(fd);
        LOG(ERROR) << "no buffer event for client";
        return nullptr;
    }
    bufferevent_setcb(bev, onClientRead, nullptr, onClientEvent, this);
    bufferevent_enable(bev, EV_READ | EV_WRITE);
    addClient(bev);
    LOG(INFO) << "new client connected" << clients_.size();
    return bev;
}

bufferevent* ClientHandler::evictionVictim() const {
    std::map<std::string, size_t> per_address;
    for (const auto& p : peers_) ++per_address[p.second.address];
    bufferevent* victim = nullptr;
    size_t victim_count = 0;
    std::chrono::steady_clock::time_point victim_heard{};
    for (bufferevent* client : clients_) {
        auto it = peers_.find(client);
        if (it == peers_.end()) return client;  // not even heard of
        size_t count = per_address[it->second.address];
        if (!victim || count > victim_count || (count == victim_count && it->second.heard < victim_heard)) {
            victim = client;
            victim_count = count;
            victim_heard = it->second.heard;
        }
    }
    return victim;
}

bool ClientHandler::readLines(bufferevent* client) {
    auto it = peers_.find(client);
    if (it != peers_.end()) it->second.heard = std::chrono::steady_clock::now();
    return intake(client);
}

bool ClientHandler::intake(bufferevent* client) {
    evbuffer* input = bufferevent_get_input(client);
    if (isDropping(client)) {
        // its output overflowed: it goes at the next turn of the loop
        evbuffer_drain(input, evbuffer_get_length(input));
        noteUnfinished(client, 0);
        return true;
    }
    auto pit = peers_.find(client);
    if (pit == peers_.end()) pit = peers_.emplace(client, Peer{}).first;
    Peer& peer = pit->second;
    bool full = false;
    for (;;) {
        if (peer.bytes >= kMaxWaitingLines) {
            // the rest stays in the input, and no more is read, until the
            // queued lines are handled
            full = true;
            break;
        }
        size_t eol = 0;
        evbuffer_ptr at = evbuffer_search_eol(input, nullptr, &eol, EVBUFFER_EOL_LF);
        if (at.pos < 0) break;
        std::string line(static_cast<size_t>(at.pos), '\0');
        if (at.pos > 0) evbuffer_remove(input, &line[0], line.size());
        evbuffer_drain(input, eol);
        if (line.empty()) continue;
        peer.bytes += line.size();
        peer.lines.push_back(std::move(line));
    }
    if (!peer.lines.empty() && !peer.in_turn) {
        peer.in_turn = true;
        ready_.push_back(client);
    }
    if (!peer.lines.empty()) scheduleServe();
    if (full) {
        if (!peer.paused) {
            peer.paused = true;
            bufferevent_disable(client, EV_READ);
        }
        return true;
    }
    size_t left = evbuffer_get_length(input);
    if (left > kMaxLine) {
        dropForInput(client, "client line too long, dropping client");
        return false;
    }
    noteUnfinished(client, left);
    bool kept = true;
    while (unfinished_total_ > kMaxUnfinishedInput) {
        auto most = unfinished_.begin();
        for (auto it = unfinished_.begin(); it != unfinished_.end(); ++it)
            if (it->second > most->second) most = it;
        bufferevent* doomed = most->first;
        if (doomed == client) kept = false;
        dropForInput(doomed, "client input over the bound, dropping client");
    }
    return kept;
}

size_t ClientHandler::waitingLines(bufferevent* client) const {
    auto it = peers_.find(client);
    return it == peers_.end() ? 0 : it->second.lines.size();
}

void ClientHandler::scheduleServe() {
    if (serve_scheduled_) return;
    if (!ctx_.base_) {
        while (!ready_.empty()) serveTurn();
        return;
    }
    if (!serve_timer_) {
        serve_timer_.reset(evtimer_new(
            ctx_.base_, [](evutil_socket_t, short, void* arg) { static_cast<ClientHandler*>(arg)->serveTurn(); },
            this));
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

void ClientHandler::serveTurn() {
    serve_scheduled_ = false;
    auto start = std::chrono::steady_clock::now();
    for (size_t turns = ready_.size(); turns > 0 && !ready_.empty(); --turns) {
        bufferevent* client = ready_.front();
        ready_.pop_front();
        auto it = peers_.find(client);
        if (it == peers_.end()) continue;
        it->second.in_turn = false;
        for (size_t n = 0; n < kLinesPerTurn; ++n) {
            // a slow line (one that runs programs) spends the turn's budget
            if (n > 0 && std::chrono::steady_clock::now() - start >= turn_budget_) break;
            it = peers_.find(client);
            if (it == peers_.end() || it->second.lines.empty()) break;
            Peer& peer = it->second;
            if (isDropping(client)) {
                peer.lines.clear();
                peer.bytes = 0;
                break;
            }
            std::string line = std::move(peer.lines.front());
            peer.lines.pop_front();
            peer.bytes -= line.size();
            if (plainText(line))
                LOG(INFO) << "socket msg " << line;
            else
                LOG(INFO) << "socket msg " << loggedLine(line);
            guarded("command", [&] { handle(line, client); });
        }
        it = peers_.find(client);
        if (it == peers_.end()) continue;
        Peer& peer = it->second;
        if (!peer.lines.empty()) {
            peer.in_turn = true;
            ready_.push_back(client);
        }
        if (peer.paused && peer.bytes < kMaxWaitingLines / 2) {
            peer.paused = false;
            bufferevent_enable(client, EV_READ);
            // what was read before the pause
            if (!intake(client)) continue;
        }
        if (std::chrono::steady_clock::now() - start >= turn_budget_) break;
    }
    if (!ready_.empty()) scheduleServe();
}

void ClientHandler::noteUnfinished(bufferevent* client, size_t bytes) {
    auto it = unfinished_.find(client);
    if (it != unfinished_.end()) {
        unfinished_total_ -= it->second;
        if (bytes == 0) {
            unfinished_.erase(it);
            return;
        }
        it->second = bytes;
    } else {
        if (bytes == 0) return;
        unfinished_.emplace(client, bytes);
    }
    unfinished_total_ += bytes;
}

void ClientHandler::dropForInput(bufferevent* client, const char* why) {
    LOG(ERROR) << why;
    removeClient(client);
    LOG(INFO) << "client disconnected ..";
}

void ClientHandler::TimerFree::operator()(event* e) const { event_free(e); }

void ClientHandler::addClient(bufferevent* client) {
    clients_.insert(client);
    Peer& peer = peers_[client];
    peer.heard = std::chrono::steady_clock::now();
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    int fd = bufferevent_getfd(client);
    if (fd >= 0 && getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        if (addr.ss_family == AF_INET) {
            const auto& in = reinterpret_cast<const sockaddr_in&>(addr).sin_addr;
            peer.address.assign(reinterpret_cast<const char*>(&in), sizeof in);
        } else if (addr.ss_family == AF_INET6) {
            const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr;
            peer.address.assign(reinterpret_cast<const char*>(&in6), sizeof in6);
        }
    }
}

void ClientHandler::forgetPeer(bufferevent* client) {
    // its queued lines go with it
    if (peers_.erase(client)) ready_.erase(std::remove(ready_.begin(), ready_.end(), client), ready_.end());
}

bool ClientHandler::removeClient(bufferevent* client) {
    overflowed_.erase(client);
    if (clients_.erase(client) == 0) return false;
    freeClient(client);
    return true;
}

void ClientHandler::dropOverflowed() {
    drop_scheduled_ = false;
    std::set<bufferevent*> doomed;
    doomed.swap(overflowed_);
    for (bufferevent* client : doomed) {
        if (clients_.erase(client)) {
            freeClient(client);
            LOG(INFO) << "client disconnected ..";
        }
    }
}

void ClientHandler::freeClient(bufferevent* client) {
    noteUnfinished(client, 0);
    forgetPeer(client);
    bufferevent_free(client);
    if (clients_.empty()) {
        // nothing left to serve; the loop may be about to end
        serve_timer_.reset();
        serve_scheduled_ = false;
    }
    scheduleTrim();
}

void ClientHandler::scheduleTrim() {
    if (trim_scheduled_ || !ctx_.base_) return;
    trim_scheduled_ = true;
    // one trim after a burst of drops, not one per client
    timeval later = {0, 200000};
    event_base_once(
        ctx_.base_, -1, EV_TIMEOUT,
        [](evutil_socket_t, short, void* arg) {
            static_cast<ClientHandler*>(arg)->trim_scheduled_ = false;
            malloc_trim(0);
        },
        this, &later);
}
