// Job commands: they never start a worker themselves; they put a screen in
// place or call the current screen's select action, as the buttons do.
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>

#include <glog/logging.h>

#include "controller/ClientHandler.h"
#include "controller/controller_context.h"
#include "controller/request_args.h"
#include "controller/state/CameraState.h"
#include "controller/state/OnLiveState.h"
#include "controller/state/OnRecordingState.h"
#include "controller/state/RealTimeTakePhotoState.h"
#include "controller/state/RecordVideoState.h"
#include "controller/state/TakePhotoState.h"
#include "fifo_ipc/cmd_msg.h"

namespace {

constexpr const char* kNotEnough = "sdcard not enough";
// The screen took the job but its worker could not be started.
constexpr const char* kStartFailedText = "start failed";

// The int members of "data", all or none.
bool dataInts(CmdMessage const& msg, std::initializer_list<const char*> keys, int* out) {
    int i = 0;
    for (const char* key : keys) {
        if (!request_args::getInt(msg, key, out[i++])) return false;
    }
    return true;
}

// On the idle screen: clears it and puts the busy one in place; the reply
// tells whether the busy screen is still current (its job started).
bool startOn(ClientHandler& h, bufferevent* client, int busy_type,
             const std::function<std::shared_ptr<CameraState>()>& make) {
    Context& ctx = h.ctx_;
    std::shared_ptr<CameraState> idle = ctx.state_;
    if (idle) idle->clear();
    ctx.changeState(make());
    if (ctx.currentType() != busy_type) return h.replyWhat(client, kStartFailedText);
    return h.replyCode(client, true);
}

// Stops the busy screen of busy_type as its select key does.
bool stopOn(ClientHandler& h, bufferevent* client, int busy_type, const char* refusal) {
    std::shared_ptr<CameraState> state = h.ctx_.state_;
    if (!state || state->type() != busy_type) return h.replyWhat(client, refusal);
    state->clear();
    state->handleButton1();
    return h.replyCode(client, true);
}

}  // namespace

bool ClientHandler::handleTakePhoto(CmdMessage const&, bufferevent* client) {
    ctx_.changeState(std::make_shared<TakePhotoState>(ctx_));
    std::shared_ptr<CameraState> photo = ctx_.state_;
    if (photo->type() == state_type::kIdle || photo->isBusy()) photo->clear();
    photo->handleButton1();
    int now = ctx_.currentType();
    if (now == state_type::kTakingPhoto) return replyCode(client, true);
    // the photo screen refused: the card has no room for one photo
    if (now == state_type::kIdle) return replyWhat(client, kNotEnough);
    return replyWhat(client, kStartFailedText);
}

bool ClientHandler::handleRecordVideo(CmdMessage const& msg, bufferevent* client) {
    unsigned long long freeBytes = 0, totalBytes = 0;
    if (!ctx_.sdcard_.queryStatus(freeBytes, totalBytes)) freeBytes = 0;
    if (freeBytes < RecordVideoState::kRecordRoom) return replyWhat(client, kNotEnough);
    int size[2] = {0, 0};
    if (!dataInts(msg, {"recordWidth", "recordHeight"}, size)) size[0] = size[1] = 0;
    int bitrate = 0;
    if (!dataInts(msg, {"bitrate"}, &bitrate)) bitrate = 0;
    // after the room check, so not a table check
    if (std::optional<bool> refused = refuseWhileCameraInUse(client, replyType())) return *refused;
    return startOn(*this, client, state_type::kRecording,
                   [&] { return std::make_shared<OnRecordingState>(ctx_, size[0], size[1], bitrate); });
}

bool ClientHandler::handleStartLive(CmdMessage const& msg, bufferevent* client) {
    int v[3] = {0, 0, 0};
    // a size or bitrate that is not positive takes the stored live settings,
    // as when they are absent
    if (!dataInts(msg, {"width", "height", "bitrate"}, v) || v[0] <= 0 || v[1] <= 0 || v[2] <= 0)
        v[0] = v[1] = v[2] = 0;
    return startOn(*this, client, state_type::kLive,
                   [&] { return std::make_shared<OnLiveState>(ctx_, v[0], v[1], v[2]); });
}

bool ClientHandler::handleStartPreview(CmdMessage const&, bufferevent* client) {
    return startOn(*this, client, state_type::kRealTimePreview,
                   [&] { return std::make_shared<RealTimeTakePhotoState>(ctx_, kPreview); });
}

bool ClientHandler::handleStartRecordPreiview(CmdMessage const&, bufferevent* client) {
    return startOn(*this, client, state_type::kRealTimeRecordPreview,
                   [&] { return std::make_shared<RealTimeTakePhotoState>(ctx_, kRecordPreview); });
}

bool ClientHandler::handleStopRecordVideo(CmdMessage const&, bufferevent* client) {
    return stopOn(*this, client, state_type::kRecording, "not on recording video");
}

bool ClientHandler::handleStopLive(CmdMessage const&, bufferevent* client) {
    return stopOn(*this, client, state_type::kLive, "not on live");
}

bool ClientHandler::handleStopPreview(CmdMessage const&, bufferevent* client) {
    return stopOn(*this, client, state_type::kRealTimePreview, "not on preview");
}

bool ClientHandler::handleStopRecordPreview(CmdMessage const&, bufferevent* client) {
    return stopOn(*this, client, state_type::kRealTimeRecordPreview, "not on preview");
}

bool ClientHandler::handleRealtimeSnapshot(CmdMessage const&, bufferevent* client) {
    if (ctx_.currentType() != state_type::kRealTimePreview) return replyWhat(client, "fuck");
    if (ctx_.camera_.realtimeSnapshot() != 0) {
        // no name could be reserved: the worker was not asked, so no result
        // push would ever come
        return replyWhat(client, "snapshot not started");
    }
    return true;
}

bool ClientHandler::handleTakeGainPhoto(CmdMessage const&, bufferevent*) { return true; }
