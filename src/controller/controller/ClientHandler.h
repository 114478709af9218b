// TCP command protocol: the client set, the command table, replies and pushes.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>

struct bufferevent;
struct Context;
class CmdMessage;

class ClientHandler {
public:
    using Handler = std::function<bool(ClientHandler*, CmdMessage const&, bufferevent*)>;

    // A client that stopped reading is dropped when a message comes while
    // more than this waits unread.
    static constexpr size_t kMaxQueuedOutput = 1 << 20;

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

    // Client set upkeep (the accept and event callbacks).
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

    std::set<bufferevent*> overflowed_;
    bool drop_scheduled_ = false;
};
