#include "controller/ClientHandler.h"
#include "controller/json_reply.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>

#include <glog/logging.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "controller/controller_context.h"
#include "controller/screen_codes.h"
#include "controller/state/CameraState.h"
#include "controller/tick.h"
#include "fifo_ipc/cmd_msg.h"

const std::map<std::string, ClientHandler::Command> ClientHandler::cmd_function_map_ = {
    {"listFile", {&ClientHandler::listFile, "fileList", kNeedsCard | kReadsOnly}},
    // answered by the "state" push to every client
    {"queryState", {&ClientHandler::tellState, "", kReadsOnly}},
    {"takePhoto",
     {&ClientHandler::handleTakePhoto, "takePhotoResult", kNeedsCard | kNeedsCardWritable | kNeedsIdleCamera}},
    // its in-use check follows the room check, in the handler
    {"startRecord", {&ClientHandler::handleRecordVideo, "startRecordResult", kNeedsCard | kNeedsCardWritable}},
    {"stopRecord", {&ClientHandler::handleStopRecordVideo, "stopRecordResult", 0}},
    {"startLive", {&ClientHandler::handleStartLive, "startLiveResult", kNeedsIdleCamera}},
    {"stopLive", {&ClientHandler::handleStopLive, "stopLiveResult", 0}},
    // deleteFile and bulkDelete check their arguments before the USB host,
    // in the handler
    {"deleteFile", {&ClientHandler::handleDeleteFile, "deleteFileResult", 0}},
    {"queryCamera", {&ClientHandler::handleQueryCamera, "cameraState", kReadsOnly}},
    {"setCamera", {&ClientHandler::handleSetCamera, "setCameraResult", 0}},
    {"startPreview", {&ClientHandler::handleStartPreview, "startPreviewResult", kNeedsIdleCamera}},
    {"stopPreview", {&ClientHandler::handleStopPreview, "stopPreviewResult", 0}},
    {"realtimeSnapshot",
     {&ClientHandler::handleRealtimeSnapshot, "realtimeSnapshotResult", kNeedsCard | kNeedsCardWritable}},
    {"querySDCard", {&ClientHandler::handleQuerySDCard, "querySDCardResult", kNeedsCard | kReadsOnly}},
    {"queryCamera2", {&ClientHandler::handleQueryCamera2, "queryCamera2Result", kReadsOnly}},
    {"queryKernelVersion", {&ClientHandler::handleQueryKernelVersion, "queryKernelVersionResult", kReadsOnly}},
    {"listLog", {&ClientHandler::handleListLog, "listLogResult", kReadsOnly}},
    {"queryStatistic", {&ClientHandler::handleQueryStatistic, "queryStatisticResult", kReadsOnly}},
    {"changeAPPassword", {&ClientHandler::handleChangeAPPassword, "changeAPPasswordResult", 0}},
    {"heartTest", {&ClientHandler::handleHeartTest, "heartTestResult", kReadsOnly}},
    {"bulkDelete", {&ClientHandler::handleBulkDelete, "bulkDeleteResult", 0}},
    {"setOffset", {&ClientHandler::handleSetOffset, "setOffsetResult", 0}},
    {"queryOffset", {&ClientHandler::handleQueryOffset, "queryOffsetResult", kReadsOnly}},
    {"setID", {&ClientHandler::handleSetID, "setIDResult", 0}},
    {"queryID", {&ClientHandler::handleQueryID, "queryIDResult", kReadsOnly}},
    {"syncTime", {&ClientHandler::handleSyncTime, "syncTimeResult", 0}},
    {"startRecordPreview", {&ClientHandler::handleStartRecordPreiview, "startRecordPreviewResult", kNeedsIdleCamera}},
    {"stopRecordPreview", {&ClientHandler::handleStopRecordPreview, "stopRecordPreviewResult", 0}},
    {"queryVersion", {&ClientHandler::handleQueryVersion, "queryVersionResult", kReadsOnly}},
    {"takeGainPhoto", {&ClientHandler::handleTakeGainPhoto, "", 0}},
    {"queryAppConfig", {&ClientHandler::handleQueryAppConfig, "queryAppConfigResult", kReadsOnly}},
    {"setUserProperty", {&ClientHandler::handleSetUserProperty, "setUserPropertyResult", 0}},
    {"queryUserProperty", {&ClientHandler::handleQueryUserProperty, "queryUserPropertyResult", kReadsOnly}},
    {"setAutoExposureParam", {&ClientHandler::handleSetAutoExposureParam, "setAutoExposureParamResult", 0}},
    {"setAudioDenoise", {&ClientHandler::handleSetAudioDenoise, "setAudioDenoiseResult", 0}},
};

ClientHandler::ClientHandler(Context& ctx)
    : ctx_(ctx), clients_(ctx.base_, [this](std::string const& line, bufferevent* client) { runLine(line, client); }) {}

bool ClientHandler::handle(std::string const& line, bufferevent* client) {
    std::shared_ptr<CmdMessage> msg = CmdMessage::CreateWithCmdString(line);
    if (!msg) {
        LOG(INFO) << "cmd parse err ";
        return true;
    }
    auto it = cmd_function_map_.find(msg->GetCmd());
    if (it == cmd_function_map_.end() || !it->second.handler) return false;
    const Command& cmd = it->second;
    // a command that only reads and answers its sender leaves nothing once
    // the sender is gone; one with effects (or a push to all) still runs
    if ((cmd.flags & kReadsOnly) && !cmd.reply_type.empty() && clients_.outputBroken(client)) return true;
    // commands that only read leave the lenses as they are; any other may
    // change what they report (a worker's setting, a job)
    if (!(cmd.flags & kReadsOnly)) ++lens_changes_;
    if (std::optional<bool> refused = refuseUnmetNeeds(cmd, client)) return *refused;
    // the handler answers through its row's reply type
    struct Running {
        Command const*& slot;
        Command const* outer;
        ~Running() { slot = outer; }
    } running{running_, running_};
    running_ = &cmd;
    return cmd.handler(this, *msg, client);
}

std::optional<bool> ClientHandler::refuseUnmetNeeds(Command const& cmd, bufferevent* client) {
    if ((cmd.flags & kNeedsCard) && !checkSDCard(client, cmd.reply_type)) return false;
    if (cmd.flags & kNeedsCardWritable) {
        if (std::optional<bool> refused = refuseWhileCardWithHost(client, cmd.reply_type)) return refused;
    }
    if (cmd.flags & kNeedsIdleCamera) return refuseWhileCameraInUse(client, cmd.reply_type);
    return std::nullopt;
}

std::optional<bool> ClientHandler::refuseWhileCardWithHost(bufferevent* client, std::string const& type) {
    // nothing may write the card while a USB host has it
    if (!ctx_.usb_device_mode_) return std::nullopt;
    return sendMsg(client, whatReply(type, "sdcard in usb mode"));
}

std::optional<bool> ClientHandler::refuseWhileCameraInUse(bufferevent* client, std::string const& type) {
    if (ctx_.currentType() == state_type::kIdle) return std::nullopt;
    return sendMsg(client, whatReply(type, "camera in use"));
}

bool ClientHandler::sendMsg(bufferevent* client, std::string const& text, bool latest_only) {
    // a stored text that is not UTF-8 (a file of an older firmware, a tool's
    // output) must not make the line invalid JSON for a strict client
    if (!isValidUtf8(text)) {
        LOG(WARNING) << "reply not UTF-8, odd bytes replaced";
        return sendMsg(client, toValidUtf8(text), latest_only);
    }
    return clients_.write(client, text, latest_only);
}

bool ClientHandler::broadcastMsg(std::string const& text, bool latest_only) {
    // every client gets the push, whatever happened to the others
    bool ok = true;
    for (bufferevent* client : clients_.list()) {
        if (!sendMsg(client, text, latest_only)) ok = false;
    }
    return ok;
}

std::string ClientHandler::codeReply(std::string const& type, bool code) {
    return writeJsonObject(type, &code, [](JsonWriter&) {});
}

std::string ClientHandler::whatReply(std::string const& type, std::string const& what) {
    const bool code = false;
    return writeJsonObject(type, &code, [&](JsonWriter& w) {
        w.Key("what");
        w.String(what.c_str(), static_cast<rapidjson::SizeType>(what.size()));
    });
}

std::string const& ClientHandler::replyTypeOf(std::string const& cmd) { return cmd_function_map_.at(cmd).reply_type; }

std::string const& ClientHandler::replyType() const {
    static const std::string none;
    return running_ ? running_->reply_type : none;
}

bool ClientHandler::replyCode(bufferevent* client, bool code) { return sendMsg(client, codeReply(replyType(), code)); }

bool ClientHandler::replyWhat(bufferevent* client, std::string const& what) {
    return sendMsg(client, whatReply(replyType(), what));
}

bool ClientHandler::checkSDCard(bufferevent* client, std::string const& type) {
    ctx_.sdcard_.supported_ = ctx_.sdcard_.checkIsVfat();
    if (ctx_.sdcard_.inserted_ && ctx_.sdcard_.supported_) return true;
    sendMsg(client, whatReply(type, ctx_.sdcard_.inserted_ ? "sdcard not supported" : "sdcard not insert"));
    return false;
}

namespace {

template <typename Body>
std::string push(const std::string& type, const bool* code, Body body) {
    return writeJsonObject(type, code, body);
}

const bool kTrue = true;

}  // namespace

bool ClientHandler::broadcastStateChanged() {
    int m = ctx_.currentType();
    return broadcastMsg(push("stateChanged", &kTrue, [m](JsonWriter& w) {
        w.Key("data");
        w.StartObject();
        w.Key("mode");
        w.Int(m);
        w.EndObject();
    }));
}

bool ClientHandler::broadcastPrepareOK() {
    int m = ctx_.currentType();
    return broadcastMsg(push("prepareOK", nullptr, [m](JsonWriter& w) {
        w.Key("data");
        w.StartObject();
        w.Key("mode");
        w.Int(m);
        w.EndObject();
    }));
}

bool ClientHandler::broadcastRecordState(unsigned size, int duration) {
    return broadcastMsg(push("recordState", &kTrue, [=](JsonWriter& w) {
        w.Key("data");
        w.StartObject();
        w.Key("size");
        w.Uint(size);
        w.Key("duration");
        w.Int(duration);
        w.EndObject();
    }));
}

bool ClientHandler::broadcastVRState(int duration) {
    return broadcastMsg(push("VRState", &kTrue, [=](JsonWriter& w) {
        w.Key("data");
        w.StartObject();
        w.Key("duration");
        w.Int(duration);
        w.EndObject();
    }));
}

bool ClientHandler::broadcastRecordSnapshot(std::string const& path) {
    return broadcastMsg(push("snapshot", &kTrue, [&](JsonWriter& w) {
        w.Key("data");
        w.StartObject();
        w.Key("path");
        w.String(path.c_str(), static_cast<rapidjson::SizeType>(path.size()));
        w.EndObject();
    }));
}

bool ClientHandler::broadcastRealtimeSnapshot(std::string const& text, bool ok) {
    // the worker's result is the realtimeSnapshot command's late reply, to
    // every client
    return broadcastMsg(push(replyTypeOf("realtimeSnapshot"), &ok, [&](JsonWriter& w) {
        if (ok) {
            w.Key("data");
            w.StartObject();
            w.Key("path");
            w.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
            w.EndObject();
        } else {
            w.Key("what");
            w.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
        }
    }));
}

bool ClientHandler::broadSDCardIsInsert(bool inserted) {
    bool supported = ctx_.sdcard_.supported_;
    return broadcastMsg(push("SDCardIsInsert", &kTrue, [=](JsonWriter& w) {
        w.Key("data");
        w.StartObject();
        w.Key("isInsert");
        w.Bool(inserted);
        w.Key("isSupported");
        w.Bool(supported);
        w.EndObject();
    }));
}

bool ClientHandler::broadcastState() {
    BatteryReading b = readBattery();
    bool inserted = ctx_.sdcard_.inserted_;
    bool supported = ctx_.sdcard_.supported_;
    int m = ctx_.currentType();
    std::string state = push("state", &kTrue, [&](JsonWriter& w) {
        w.Key("data");
        w.StartObject();
        w.Key("battery");
        w.Int(b.capacity < 0 ? 0 : b.capacity);
        w.Key("voltage");
        w.Double(b.voltage < 0 ? 0.0 : b.voltage);
        w.Key("onCharge");
        w.Bool(b.charging);
        w.Key("sdcardInsert");
        w.Bool(inserted);
        w.Key("sdcardSupported");
        w.Bool(supported);
        w.Key("mode");
        w.Int(m);
        w.EndObject();
    });
    // a newer state replaces one a slow client has not been sent yet
    return broadcastMsg(state, /*latest_only=*/true);
}
