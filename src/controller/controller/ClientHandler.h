// TCP command protocol: the client set, the command table, replies and pushes.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <event2/util.h>

struct bufferevent;
struct event;
struct Context;
class CameraState;
class CmdMessage;

class ClientHandler {
public:
    using Handler = std::function<bool(ClientHandler*, CmdMessage const&, bufferevent*)>;

    // What a command needs before its handler runs, checked by handle() in
    // this order; a refusal answers with the row's reply type.
    enum CommandFlag : unsigned {
        kNeedsCard = 1u << 0,          // inserted and mounted read-write (checkSDCard)
        kNeedsCardWritable = 1u << 1,  // not with a USB host: "sdcard in usb mode"
        kNeedsIdleCamera = 1u << 2,    // the idle screen current: "camera in use"
        kReadsOnly = 1u << 3,          // leaves what the lenses report as it is
    };
    // One row of the command table.
    struct Command {
        Handler handler;
        std::string reply_type;  // "" for a command that replies nothing
        unsigned flags;
    };

    // A client that stopped reading is dropped when a message comes while
    // more than this waits unread.
    static constexpr size_t kMaxQueuedOutput = 1 << 20;
    // At most this many clients at once; a further connection makes room by
    // closing one (evictionVictim).
    static constexpr size_t kMaxClients = 64;
    // Lines of one client handled in one turn of the loop; the rest wait for
    // later turns, so other clients and the buttons get in between.
    static constexpr size_t kLinesPerTurn = 4;
    // A turn stops handling client lines once it has taken this long.
    static constexpr std::chrono::milliseconds kTurnBudget{20};
    // A client with this many bytes of lines waiting is not read further
    // until they are handled.
    static constexpr size_t kMaxWaitingLines = 256 * 1024;
    // A queryCamera2 answer is given again for this long, while the screen
    // stays the same idle one and no command that may touch the lenses came.
    static constexpr std::chrono::milliseconds kLensAnswerReuse{1000};
    // A client whose unfinished line grows past this is dropped.
    static constexpr size_t kMaxLine = 64 * 1024;
    // Bound on the unfinished lines of all clients together; past it the
    // client holding the most is dropped.
    static constexpr size_t kMaxUnfinishedInput = 2 << 20;
    // A received line is logged with at most this many of its bytes.
    static constexpr size_t kLoggedLineBytes = 256;

    explicit ClientHandler(Context& ctx);
    ClientHandler(const ClientHandler&) = delete;
    ClientHandler& operator=(const ClientHandler&) = delete;

    bool handle(std::string const& line, bufferevent* client);
    bool sendMsg(bufferevent* client, std::string const& text);
    bool broadcastMsg(std::string const& text);
    bool checkSDCard(bufferevent* client, std::string const& type);
    // The refusals of kNeedsCardWritable and kNeedsIdleCamera, for handlers
    // that check them at their own point: the handler's result when the
    // command is refused (the refusal sent), nothing when it may go on.
    std::optional<bool> refuseWhileCardWithHost(bufferevent* client, std::string const& type);
    std::optional<bool> refuseWhileCameraInUse(bufferevent* client, std::string const& type);

    bool broadcastStateChanged();
    bool broadcastPrepareOK();
    bool broadcastRecordState(unsigned size, int duration);
    bool broadcastVRState(int duration);
    bool broadcastRecordSnapshot(std::string const& path);
    bool broadcastRealtimeSnapshot(std::string const& text, bool ok);
    bool broadSDCardIsInsert(bool inserted);
    bool broadcastState();

    // A connection the listener accepted: a buffered event with the client
    // read and event callbacks, in the set. When kMaxClients are connected
    // already, one of them is closed first (evictionVictim). nullptr (and
    // the socket closed) when no buffered event could be made.
    bufferevent* acceptClient(evutil_socket_t fd);
    // The client to close for a newcomer when the set is full: of the peer
    // address holding the most connections, the one silent longest.
    bufferevent* evictionVictim() const;
    // The client line path: queues every complete line of the client's input
    // in order (empty ones skipped) and holds the input bounds; the queued
    // lines are logged and handled by serveTurn. False when the client was
    // dropped (and freed).
    bool readLines(bufferevent* client);
    // One turn of client lines: up to kLinesPerTurn of each client with
    // lines waiting, in rotation, within turn_budget_ (a client's first line
    // of the turn always runs); further turns come after the loop's other
    // events.
    void serveTurn();
    // kTurnBudget; the in-process tests widen it so a slow machine cannot
    // end a turn early.
    std::chrono::milliseconds turn_budget_ = kTurnBudget;
    // Lines of the client waiting to be handled.
    size_t waitingLines(bufferevent* client) const;
    // A received line as the log shows it: bytes that are not printable
    // text as \xNN, and past kLoggedLineBytes only the total length.
    static std::string loggedLine(std::string const& line);

    // Client set upkeep.
    void addClient(bufferevent* client);
    // Removes and frees a client; false when it was not in the set.
    bool removeClient(bufferevent* client);
    // Drops the clients marked because their output overflowed.
    void dropOverflowed();
    bool isDropping(bufferevent* client) const { return overflowed_.count(client) != 0; }

    // Handlers (one per command).
    bool listFile(CmdMessage const& msg, bufferevent* client);
    bool tellState(CmdMessage const& msg, bufferevent* client);
    bool handleTakePhoto(CmdMessage const& msg, bufferevent* client);
    bool handleRecordVideo(CmdMessage const& msg, bufferevent* client);
    bool handleStopRecordVideo(CmdMessage const& msg, bufferevent* client);
    bool handleStartLive(CmdMessage const& msg, bufferevent* client);
    bool handleStopLive(CmdMessage const& msg, bufferevent* client);
    bool handleDeleteFile(CmdMessage const& msg, bufferevent* client);
    bool handleQueryCamera(CmdMessage const& msg, bufferevent* client);
    bool handleSetCamera(CmdMessage const& msg, bufferevent* client);
    bool handleStartPreview(CmdMessage const& msg, bufferevent* client);
    bool handleStopPreview(CmdMessage const& msg, bufferevent* client);
    bool handleRealtimeSnapshot(CmdMessage const& msg, bufferevent* client);
    bool handleQuerySDCard(CmdMessage const& msg, bufferevent* client);
    bool handleChangeAPPassword(CmdMessage const& msg, bufferevent* client);
    bool handleHeartTest(CmdMessage const& msg, bufferevent* client);
    bool handleBulkDelete(CmdMessage const& msg, bufferevent* client);
    bool handleSetOffset(CmdMessage const& msg, bufferevent* client);
    bool handleQueryOffset(CmdMessage const& msg, bufferevent* client);
    bool handleSetID(CmdMessage const& msg, bufferevent* client);
    bool handleQueryID(CmdMessage const& msg, bufferevent* client);
    bool handleSyncTime(CmdMessage const& msg, bufferevent* client);
    bool handleStartRecordPreiview(CmdMessage const& msg, bufferevent* client);
    bool handleStopRecordPreview(CmdMessage const& msg, bufferevent* client);
    bool handleQueryVersion(CmdMessage const& msg, bufferevent* client);
    bool handleTakeGainPhoto(CmdMessage const& msg, bufferevent* client);
    bool handleQueryAppConfig(CmdMessage const& msg, bufferevent* client);
    bool handleSetUserProperty(CmdMessage const& msg, bufferevent* client);
    bool handleQueryUserProperty(CmdMessage const& msg, bufferevent* client);
    bool handleQueryCamera2(CmdMessage const& msg, bufferevent* client);
    bool handleQueryKernelVersion(CmdMessage const& msg, bufferevent* client);
    bool handleSetAutoExposureParam(CmdMessage const& msg, bufferevent* client);
    bool handleListLog(CmdMessage const& msg, bufferevent* client);
    bool handleSetAudioDenoise(CmdMessage const& msg, bufferevent* client);
    bool handleQueryStatistic(CmdMessage const& msg, bufferevent* client);

    // Replies built the protocol's way.
    static std::string codeReply(std::string const& type, bool code);
    static std::string whatReply(std::string const& type, std::string const& what);

    std::set<bufferevent*> clients_;
    Context& ctx_;

    static const std::map<std::string, Command> cmd_function_map_;

private:
    // The refusal of the first need of the row that is not met (the
    // handler's result), nothing when all are.
    std::optional<bool> refuseUnmetNeeds(Command const& cmd, bufferevent* client);
    bool queue(bufferevent* client, const char* data, size_t size);
    void markOverflowed(bufferevent* client);
    // Frees a client of the set; what it held goes back to the system soon.
    void freeClient(bufferevent* client);
    void dropForInput(bufferevent* client, const char* why);
    void noteUnfinished(bufferevent* client, size_t bytes);
    void scheduleTrim();
    // Moves the complete lines of the input into the client's queue and
    // holds the input bounds; false when the client was dropped.
    bool intake(bufferevent* client);
    void scheduleServe();
    void forgetPeer(bufferevent* client);

    // What is kept per connected client beside its buffered event.
    struct Peer {
        std::string address;                          // the peer's address bytes ("" for a local pair)
        std::chrono::steady_clock::time_point heard;  // last bytes received
        std::deque<std::string> lines;                // complete, not yet handled
        size_t bytes = 0;                             // in lines
        bool in_turn = false;                         // in ready_
        bool paused = false;                          // reading stopped for lines
    };
    std::map<bufferevent*, Peer> peers_;
    std::deque<bufferevent*> ready_;  // clients with lines waiting, in turn order
    bool serve_scheduled_ = false;
    struct TimerFree {
        void operator()(event* e) const;
    };
    std::unique_ptr<event, TimerFree> serve_timer_;

    // The last queryCamera2 answer and what it holds for.
    struct LensAnswer {
        std::string text;
        std::weak_ptr<CameraState> state;
        unsigned long changes = 0;
        std::chrono::steady_clock::time_point at;
        bool set = false;
    };
    LensAnswer lens_answer_;
    // Raised by every command that may change what the lenses report.
    unsigned long lens_changes_ = 0;

    std::set<bufferevent*> overflowed_;
    bool drop_scheduled_ = false;
    // Clients holding an unfinished line, with its length, and the sum.
    std::map<bufferevent*, size_t> unfinished_;
    size_t unfinished_total_ = 0;
    bool trim_scheduled_ = false;
    std::chrono::steady_clock::time_point last_refusal_log_{};
};
