// TCP command protocol: the command table, replies and pushes to the
// connected clients (ClientConnections keeps the connections).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "controller/client_connections.h"

struct bufferevent;
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

    // A queryCamera2 answer is given again for this long, while the screen
    // stays the same idle one and no command that may touch the lenses came.
    static constexpr std::chrono::milliseconds kLensAnswerReuse{1000};
    // A received line is logged with at most this many of its bytes.
    static constexpr size_t kLoggedLineBytes = 256;

    explicit ClientHandler(Context& ctx);
    ClientHandler(const ClientHandler&) = delete;
    ClientHandler& operator=(const ClientHandler&) = delete;

    bool handle(std::string const& line, bufferevent* client);
    // latest_only: see ClientConnections::write.
    bool sendMsg(bufferevent* client, std::string const& text, bool latest_only = false);
    bool broadcastMsg(std::string const& text, bool latest_only = false);
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

    // kLensAnswerReuse; the in-process tests set it so that the machine's
    // speed cannot end the reuse early.
    std::chrono::milliseconds lens_answer_reuse_ = kLensAnswerReuse;
    // A received line as the log shows it: bytes that are not printable
    // text as \xNN, and past kLoggedLineBytes only the total length.
    static std::string loggedLine(std::string const& line);

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
    // The reply type of a command's row.
    static std::string const& replyTypeOf(std::string const& cmd);
    // The reply type of the row whose handler runs ("" outside a handler),
    // and the two plain replies of that type.
    std::string const& replyType() const;
    bool replyCode(bufferevent* client, bool code);
    bool replyWhat(bufferevent* client, std::string const& what);

    Context& ctx_;
    // The connected clients and the rules of their connections.
    ClientConnections clients_;

    static const std::map<std::string, Command> cmd_function_map_;

private:
    // Logs and runs one line a client sent.
    void runLine(std::string const& line, bufferevent* client);
    // The refusal of the first need of the row that is not met (the
    // handler's result), nothing when all are.
    std::optional<bool> refuseUnmetNeeds(Command const& cmd, bufferevent* client);

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
    // The row whose handler runs.
    Command const* running_ = nullptr;
};
