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
#include "controller/state/CameraState.h"
#include "controller/tick.h"
#include "fifo_ipc/cmd_msg.h"

#define CMD(name, fn) \
    { name, &ClientHandler::fn }

const std::map<std::string, ClientHandler::Handler> ClientHandler::cmd_function_map_ = {
    CMD("listFile", listFile),
    CMD("queryState", tellState),
    CMD("takePhoto", handleTakePhoto),
    CMD("startRecord", handleRecordVideo),
    CMD("stopRecord", handleStopRecordVideo),
    CMD("startLive", handleStartLive),
    CMD("stopLive", handleStopLive),
    CMD("deleteFile", handleDeleteFile),
    CMD("queryCamera", handleQueryCamera),
    CMD("setCamera", handleSetCamera),
    CMD("startPreview", handleStartPreview),
    CMD("stopPreview", handleStopPreview),
    CMD("realtimeSnapshot", handleRealtimeSnapshot),
    CMD("querySDCard", handleQuerySDCard),
    CMD("queryCamera2", handleQueryCamera2),
    CMD("queryKernelVersion", handleQueryKernelVersion),
    CMD("listLog", handleListLog),
    CMD("queryStatistic", handleQueryStatistic),
    CMD("changeAPPassword", handleChangeAPPassword),
    CMD("heartTest", handleHeartTest),
    CMD("bulkDelete", handleBulkDelete),
    CMD("setOffset", handleSetOffset),
    CMD("queryOffset", handleQueryOffset),
    CMD("setID", handleSetID),
    CMD("queryID", handleQueryID),
    CMD("syncTime", handleSyncTime),
    CMD("startRecordPreview", handleStartRecordPreiview),
    CMD("stopRecordPreview", handleStopRecordPreview),
    CMD("queryVersion", handleQueryVersion),
    CMD("takeGainPhoto", handleTakeGainPhoto),
    CMD("queryAppConfig", handleQueryAppConfig),
    CMD("setUserProperty", handleSetUserProperty),
    CMD("queryUserProperty", handleQueryUserProperty),
    CMD("setAutoExposureParam", handleSetAutoExposureParam),
    CMD("setAudioDenoise", handleSetAudioDenoise),
};

#undef CMD

ClientHandler::ClientHandler(Context& ctx)
    : ctx_(ctx), clients_(ctx.base_, [this](std::string const& line, bufferevent* client) { runLine(line, client); }) {}

int ClientHandler::mode() const {
    auto state = ctx_.state_;
    return state ? state->type() : 0;
}

bool ClientHandler::handle(std::string const& line, bufferevent* client) {
    std::shared_ptr<CmdMessage> msg = CmdMessage::CreateWithCmdString(line);
    if (!msg) {
        LOG(INFO) << "cmd parse err ";
        return true;
    }
    auto it = cmd_function_map_.find(msg->GetCmd());
    if (it == cmd_function_map_.end() || !it->second) return false;
    // commands that only read leave the lenses as they are; any other may
    // change what they report (a worker's setting, a job)
    static const std::set<std::string> kLeaveLenses = {
        "heartTest", "queryCamera2", "queryCamera",        "queryState",    "queryVersion",
        "queryID",   "querySDCard",  "queryKernelVersion", "queryOffset",   "queryUserProperty",
        "listFile",  "listLog",      "queryAppConfig",     "queryStatistic"};
    if (!kLeaveLenses.count(it->first)) ++lens_changes_;
    return it->second(this, *msg, client);
}

bool ClientHandler::sendMsg(bufferevent* client, std::string const& text) {
    // a stored text that is not UTF-8 (a file of an older firmware, a tool's
    // output) must not make the line invalid JSON for a strict client
    if (!isValidUtf8(text)) {
        LOG(WARNING) << "reply not UTF-8, odd bytes replaced";
        return sendMsg(client, toValidUtf8(text));
    }
    return clients_.write(client, text);
}

bool ClientHandler::broadcastMsg(std::string const& text) {
    // every client gets the push, whatever happened to the others
    bool ok = true;
    for (bufferevent* client : clients_.list()) {
        if (!sendMsg(client, text)) ok = false;
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

bool ClientHandler::checkSDCard(bufferevent* client, std::string const& type) {
    ctx_.sdcard_.supported_ = ctx_.sdcard_.checkIsVfat();
    if (ctx_.sdcard_.inserted_ && ctx_.sdcard_.supported_) return true;
    sendMsg(client, whatReply(type, ctx_.sdcard_.inserted_ ? "sdcard not supported" : "sdcard not insert"));
    return false;
}

namespace {

template <typename Body>
std::string push(const char* type, const bool* code, Body body) {
    return writeJsonObject(type, code, body);
}

const bool kTrue = true;

}  // namespace

bool ClientHandler::broadcastStateChanged() {
    int m = mode();
    return broadcastMsg(push("stateChanged", &kTrue, [m](JsonWriter& w) {
        w.Key("data");
        w.StartObject();
        w.Key("mode");
        w.Int(m);
        w.EndObject();
    }));
}

bool ClientHandler::broadcastPrepareOK() {
    int m = mode();
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
    return broadcastMsg(push("realtimeSnapshotResult", &ok, [&](JsonWriter& w) {
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
    int m = mode();
    return broadcastMsg(push("state", &kTrue, [&](JsonWriter& w) {
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
    }));
}
