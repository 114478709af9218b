// The connections of the TCP port, apart from what their lines mean: accept
// under the client limit and its eviction, the input bounds, the fair turns
// of the clients' lines, the output bound, and the end of a connection
// (drained once all it sent has run, or dropped by the controller).
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <event2/util.h>

#include "controller/event_ptr.h"

class ClientConnections {
public:
    // Runs one complete, non-empty line of the client.
    using LineHandler = std::function<void(std::string const& line, bufferevent* client)>;

    // A client that stopped reading is dropped when a message comes while
    // more than this waits unread.
    static constexpr size_t kMaxQueuedOutput = 1 << 20;
    // At most this many clients at once; a further connection makes room by
    // closing one (evictionVictim), or is closed when every place is kept.
    static constexpr size_t kMaxClients = 64;
    // A client that had a line run this recently keeps its place against
    // newcomers (one place per peer address, evictionVictim).
    static constexpr std::chrono::seconds kActiveWindow{5};
    // Past this much waiting in a client's output its further messages are
    // held back in order, and a latest-only push replaces the one held.
    static constexpr size_t kOutputAhead = 64 * 1024;
    // Lines of one client handled in one turn of the loop; the rest wait for
    // later turns, so other clients and the buttons get in between.
    static constexpr size_t kLinesPerTurn = 4;
    // A turn stops handling client lines once it has taken this long.
    static constexpr std::chrono::milliseconds kTurnBudget{20};
    // A client's input is not read further while this much of it waits: its
    // lines stay there as they came and are cut only when their turn comes,
    // so what waits costs its bytes and no more.
    static constexpr size_t kMaxWaitingInput = 128 * 1024;
    // A client whose line grows past this is dropped, whether it is still
    // unfinished or cut complete behind other lines. The longest request the
    // commands' own bounds take (a 256-byte key and a 64 KiB value, written
    // without escapes) fits.
    static constexpr size_t kMaxLine = 68 * 1024;
    // Bound on the unfinished lines of all clients together; past it the
    // client holding the most is dropped.
    static constexpr size_t kMaxUnfinishedInput = 2 << 20;
    // A client that has stopped sending is given this long to take its last
    // replies.
    static constexpr std::chrono::seconds kDrainTimeout{30};

    ClientConnections(event_base* const& base, LineHandler on_line);
    ~ClientConnections();
    ClientConnections(const ClientConnections&) = delete;
    ClientConnections& operator=(const ClientConnections&) = delete;

    // The one way in: a connection the listener accepted, read and written
    // through a buffered event of its own record. When kMaxClients are
    // connected already, one of them is dropped first (evictionVictim).
    // nullptr (and the socket closed) when no buffered event could be made.
    bufferevent* accept(evutil_socket_t fd);
    // The client to close for a newcomer when the set is full, nullptr when
    // every place is kept. Kept: of each peer address, the connection there
    // longest that had a line run within active_window_. Of the others,
    // those that never sent a line or are leaving go first; then, of the
    // peer address holding the most connections, the one silent longest.
    bufferevent* evictionVictim() const;
    // kActiveWindow; the tests set it so that the machine's speed cannot
    // end a client's protection early.
    std::chrono::milliseconds active_window_ = kActiveWindow;

    // New input of the client: its complete lines wait for their turns and
    // the input bounds are held. False when the client was dropped.
    bool readLines(bufferevent* client);
    // One turn of client lines: up to kLinesPerTurn of each client with
    // lines waiting, in rotation, within turn_budget_ (a client's first line
    // of the turn always runs); further turns come after the loop's other
    // events.
    void serveTurn();
    // kTurnBudget; the in-process tests set it so that the machine's speed
    // cannot end a turn early, or so that one line spends it.
    std::chrono::milliseconds turn_budget_ = kTurnBudget;

    // Queues the text and "\n" on the client, handing them to the socket at
    // once when nothing waits before them. A latest_only message (a push
    // that tells how things stand) replaces one of its kind still held back
    // unsent. False when the client is being dropped, its peer takes nothing
    // more, or the output bound was passed (the client is then dropped at
    // the next turn of the loop).
    bool write(bufferevent* client, const std::string& text, bool latest_only = false);
    bool isDropping(bufferevent* client) const;
    // The peer has gone: nothing written to it arrives.
    bool outputBroken(bufferevent* client) const;

    // Frees a client without running what it still sent; false when it is
    // not connected. For the loop's end and the tests.
    bool remove(bufferevent* client);
    // Frees every client (the loop's end).
    void clear();

    size_t size() const { return records_.size(); }
    bool contains(bufferevent* client) const { return records_.count(client) != 0; }
    // The clients in set order.
    std::vector<bufferevent*> list() const;
    // Complete lines of the client waiting to be handled.
    size_t waitingLines(bufferevent* client) const;

private:
    struct Record;
    enum class Ending { drained, dropped, quiet };

    friend struct ClientCallbacks;
    Record* find(bufferevent* client) const;
    // The one way out.
    void end(Record& r, Ending how);
    void drop(Record& r, const char* why);
    void inputEnded(Record& r, bool broken);
    void flushed(Record& r);
    // Moves held messages to the output while it has room below kOutputAhead.
    void releaseHeld(Record& r);
    void discardOutput(Record& r);
    enum class Cut { line, none, too_long };
    // Cuts the client's next non-empty line from its input: none when no
    // complete line is left, too_long (nothing cut) when it is over kMaxLine.
    static Cut nextLine(Record& r, std::string& line);
    // After the client's lines were served or its input grew: whether it has
    // a line waiting (then it is in the rotation) or only an unfinished one
    // (then the bounds on unfinished input hold). False when it was dropped.
    bool settle(Record& r, size_t scanned_from);
    void setUnfinished(Record& r, size_t bytes);
    void finishIfDrained(Record& r);
    void markOverflowed(Record& r);
    void dropOverflowed();
    void scheduleServe();
    void scheduleTrim();

    event_base* const& base_;
    LineHandler on_line_;
    std::map<bufferevent*, std::unique_ptr<Record>> records_;
    std::deque<Record*> ready_;  // clients with lines waiting, in turn order
    size_t unfinished_total_ = 0;
    EventPtr serve_timer_;
    bool serve_scheduled_ = false;
    bool drop_scheduled_ = false;
    bool trim_scheduled_ = false;
    std::chrono::steady_clock::time_point last_refusal_log_{};
};
