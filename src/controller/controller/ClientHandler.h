// TCP command protocol: the client set, the command table, replies and pushes.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>

#include <event2/util.h>

struct bufferevent;
struct Context;
class CmdMessage;

class ClientHandler {
public:
    using Handler = std::function<bool(ClientHandler*, CmdMessage const&, bufferevent*)>;

    // A client that stopped reading is dropped when a message comes while
    // more than this waits unread.
    static constexpr size_t kMaxQueuedOutput = 1 << 20;
    // At most this many clients at once; a further connection is closed.
    static constexpr size_t kMaxClients = 64;
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

    bool broadcastStateChanged();
    bool broadcastPrepareOK();
    bool broadcastRecordState(unsigned size, int duration);
    bool broadcastVRState(int duration);
    bool broadcastRecordSnapshot(std::string const& path);
    bool broadcastRealtimeSnapshot(std::string const& text, bool ok);
    bool broadSDCardIsInsert(bool inserted);
    bool broadcastState();

    // A connection the listener accepted: a buffered event with the client
    // read and event callbacks, in the set. nullptr (and the socket closed)
    // when kMaxClients are connected already.
    bufferevent* acceptClient(evutil_socket_t fd);
    // The client line path: takes every complete line of the client's input
    // in order, skips empty ones, logs and handles the others, then holds the
    // input bounds. False when the client was dropped (and freed).
    bool readLines(bufferevent* client);
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

    static const std::map<std::string, Handler> cmd_function_map_;

private:
    int mode() const;
    bool queue(bufferevent* client, const char* data, size_t size);
    void markOverflowed(bufferevent* client);
    // Frees a client of the set; what it held goes back to the system soon.
    void freeClient(bufferevent* client);
    void dropForInput(bufferevent* client, const char* why);
    void noteUnfinished(bufferevent* client, size_t bytes);
    void scheduleTrim();

    std::set<bufferevent*> overflowed_;
    bool drop_scheduled_ = false;
    // Clients holding an unfinished line, with its length, and the sum.
    std::map<bufferevent*, size_t> unfinished_;
    size_t unfinished_total_ = 0;
    bool trim_scheduled_ = false;
    std::chrono::steady_clock::time_point last_refusal_log_{};
    // The line being handled (its storage is kept from line to line).
    std::string line_;
};
