// File, settings and status commands: the card's media files and the logs,
// card and battery status, the camera's identity and clock, its stored
// settings, and settings for the streaming worker and the access point.
// None of them changes the screen.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <glog/logging.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/dameon_util.h"
#include "common/log_text.h"
#include "config/app_config.h"
#include "config/config_paths.h"
#include "config/property_config.h"
#include "controller/ClientHandler.h"
#include "controller/controller_context.h"
#include "controller/json_reply.h"
#include "controller/request_args.h"
#include "controller/screen_codes.h"
#include "controller/state/CameraState.h"
#include "fifo_ipc/cmd_msg.h"

// Sizes of media files of 2 GiB and more on the 32-bit board.
static_assert(sizeof(off_t) >= 8, "build with 64-bit file offsets");

namespace {

constexpr const char kLogDir[] = "/log/";

// Bounds of what client sets may store, so the camera's own counters and
// calibration always find room in the file. A file past the file bound
// (older firmware let it grow) still takes sets that do not grow it.
constexpr size_t kMaxPropertyKey = 256;
constexpr size_t kMaxPropertyValue = 64 * 1024;
constexpr size_t kMaxPropertyFile = 256 * 1024;

// What setID and changeAPPassword answer when nothing could be stored.
constexpr const char kIdNotStored[] = "id not stored";
constexpr const char kApNotConfigured[] = "access point not configured";

// A reply {"type":..,"code":true,"data":{..}} whose data members body writes.
template <typename Body>
std::string dataReply(const std::string& type, Body body) {
    const bool code = true;
    return writeJsonObject(type, &code, [&](JsonWriter& w) {
        w.Key("data");
        body(w);
    });
}

void writeString(JsonWriter& w, const std::string& text) {
    w.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
}

// A reply whose data holds one text member.
std::string textReply(const std::string& type, const char* key, const std::string& text) {
    return dataReply(type, [&](JsonWriter& w) {
        w.StartObject();
        w.Key(key);
        writeString(w, text);
        w.EndObject();
    });
}

// A name of one file of the card's top directory: not empty, not "." or
// "..", no "/" and no NUL byte.
bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           std::strlen(name.c_str()) == name.size();
}

// Removes one file of the card (never a directory); 0 or the error number.
int removeMedia(const std::string& dir, const std::string& name) {
    if (!isPlainName(name)) return EINVAL;
    return unlink((dir + name).c_str()) == 0 ? 0 : errno;
}

struct DirClose {
    void operator()(DIR* d) const { closedir(d); }
};

// {"fileList":[..]} of the regular files of dir (links, directories and
// devices left out), in the directory's own order.
void writeFileList(JsonWriter& w, const std::string& dir, DIR* d) {
    w.StartObject();
    w.Key("fileList");
    w.StartArray();
    while (const dirent* e = readdir(d)) {
        struct stat st;
        if (lstat((dir + e->d_name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (!isValidUtf8(e->d_name, std::strlen(e->d_name))) {
            // a reply must stay UTF-8 JSON for every client
            LOG(WARNING) << "file name not UTF-8 left out of the list: " << dir << pnocamera::loggedText(e->d_name);
            continue;
        }
        w.StartObject();
        w.Key("name");
        w.String(e->d_name);
        w.Key("size");
        w.Uint64(static_cast<uint64_t>(st.st_size));
        w.Key("timestamp");
        w.Uint64(st.st_mtime < 0 ? 0 : static_cast<uint64_t>(st.st_mtime));
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
}

bool listDirectory(ClientHandler& h, bufferevent* client, const std::string& dir) {
    std::unique_ptr<DIR, DirClose> d(opendir(dir.c_str()));
    if (!d) return h.replyWhat(client, "open dir error");
    return h.sendMsg(client, dataReply(h.replyType(), [&](JsonWriter& w) { writeFileList(w, dir, d.get()); }));
}

// The leading decimal digits of a property value; 0 without digits, the
// largest value when they do not fit.
uint64_t leadingNumber(const std::string& text) {
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        unsigned digit = static_cast<unsigned>(c - '0');
        if (n > (UINT64_MAX - digit) / 10) return UINT64_MAX;
        n = n * 10 + digit;
    }
    return n;
}

bool isPrintableAscii(const std::string& text) {
    for (char c : text) {
        if (c < 0x20 || c > 0x7e) return false;
    }
    return true;
}

bool setStoredProperty(ClientHandler& h, CmdMessage const& msg, bufferevent* client, const std::string& path) {
    std::string key, value;
    if (!request_args::getString(msg, "key", key) || !request_args::getString(msg, "value", value)) return false;
    if (key.size() > kMaxPropertyKey) return h.replyWhat(client, "key too long");
    if (value.size() > kMaxPropertyValue) return h.replyWhat(client, "value too long");
    PropertyConfig config(path);
    if (!config.setPropertyWithin(key, value, kMaxPropertyFile)) {
        LOG(ERROR) << "set property in " << path << " err " << config.error();
        return h.replyWhat(client, config.error());
    }
    return h.replyCode(client, true);
}

bool queryStoredProperty(ClientHandler& h, CmdMessage const& msg, bufferevent* client, const std::string& path) {
    std::string key;
    if (!request_args::getString(msg, "key", key)) return false;
    std::string value = PropertyConfig(path).queryProperty(key);
    return h.sendMsg(client, dataReply(h.replyType(), [&](JsonWriter& w) {
                         w.StartObject();
                         w.Key("key");
                         writeString(w, key);
                         w.Key("value");
                         writeString(w, value);
                         w.EndObject();
                     }));
}

}  // namespace

bool ClientHandler::listFile(CmdMessage const&, bufferevent* client) {
    return listDirectory(*this, client, ctx_.camera_.process_controller_.media_dir_);
}

bool ClientHandler::handleListLog(CmdMessage const&, bufferevent* client) {
    return listDirectory(*this, client, kLogDir);
}

bool ClientHandler::handleDeleteFile(CmdMessage const& msg, bufferevent* client) {
    std::string name;
    if (!request_args::getString(msg, "name", name)) return false;
    // after the argument check, so not a table check
    if (std::optional<bool> refused = refuseWhileCardWithHost(client, replyType())) return *refused;
    int err = removeMedia(ctx_.camera_.process_controller_.media_dir_, name);
    sync();
    if (err != 0) return replyWhat(client, std::strerror(err));
    return replyCode(client, true);
}

bool ClientHandler::handleBulkDelete(CmdMessage const& msg, bufferevent* client) {
    const rapidjson::Value* list = request_args::getArray(msg, "fileList");
    if (!list) return false;
    if (std::optional<bool> refused = refuseWhileCardWithHost(client, replyType())) return *refused;
    for (const rapidjson::Value& e : list->GetArray()) {
        // names that are not strings or not plain names are skipped, as
        // failures are
        if (!e.IsString()) continue;
        removeMedia(ctx_.camera_.process_controller_.media_dir_, std::string(e.GetString(), e.GetStringLength()));
    }
    sync();
    return replyCode(client, true);
}

bool ClientHandler::handleQuerySDCard(CmdMessage const&, bufferevent* client) {
    unsigned long long freeBytes = 0, totalBytes = 0;
    if (!ctx_.sdcard_.queryStatus(freeBytes, totalBytes)) freeBytes = totalBytes = 0;
    int left = ctx_.sdcard_.estimatePhotoLeft();
    return sendMsg(client, dataReply(replyType(), [&](JsonWriter& w) {
                       w.StartObject();
                       w.Key("totolSize");
                       w.Uint64(totalBytes);
                       w.Key("freeSize");
                       w.Uint64(freeBytes);
                       w.Key("photoLeft");
                       w.Int(left);
                       w.EndObject();
                   }));
}

bool ClientHandler::tellState(CmdMessage const&, bufferevent*) { return broadcastState(); }

bool ClientHandler::handleHeartTest(CmdMessage const&, bufferevent* client) { return replyCode(client, true); }

bool ClientHandler::handleQueryVersion(CmdMessage const&, bufferevent* client) {
    return sendMsg(client, textReply(replyType(), "version", ctx_.camera_.queryVersion()));
}

bool ClientHandler::handleQueryKernelVersion(CmdMessage const&, bufferevent* client) {
    int version = ctx_.camera_.kernelVersion();
    return sendMsg(client, dataReply(replyType(), [&](JsonWriter& w) {
                       w.StartObject();
                       w.Key("version");
                       w.Int(version);
                       w.EndObject();
                   }));
}

bool ClientHandler::handleQueryID(CmdMessage const&, bufferevent* client) {
    return sendMsg(client, textReply(replyType(), "id", ctx_.camera_.queryID()));
}

bool ClientHandler::handleSetID(CmdMessage const& msg, bufferevent* client) {
    std::string id;
    if (!request_args::getString(msg, "ID", id)) return false;
    if (id.size() < 5) return replyWhat(client, "id too short");
    // a control byte or blank would add lines to the id file or cut what
    // queryID gives back; the name must be one the access point can carry
    // (no byte of a character split off by the cut)
    std::string name = "panor" + id.substr(id.size() - 5);
    bool plain = std::none_of(id.begin(), id.end(), [](char c) {
        auto b = static_cast<unsigned char>(c);
        return b <= 0x20 || b == 0x7f;
    });
    if (!plain || !Camera::isValidSsid(name)) return replyWhat(client, "invalid id");
    if (!ctx_.camera_.setID(id)) return replyWhat(client, kIdNotStored);
    if (ctx_.camera_.configAP("ssid", name) != 0) return replyWhat(client, kApNotConfigured);
    return replyCode(client, true);
}

bool ClientHandler::handleSyncTime(CmdMessage const& msg, bufferevent* client) {
    std::string time;
    if (!request_args::getString(msg, "time", time)) return false;
    if (!ctx_.camera_.syncTime(time)) return replyWhat(client, "invalid time");
    return replyCode(client, true);
}

bool ClientHandler::handleQueryStatistic(CmdMessage const&, bufferevent* client) {
    PropertyConfig conf(ctx_.camera_.offset_conf_path_);
    int photos = conf.queryProperty<int>("photoCount");
    int videos = conf.queryProperty<int>("videoCount");
    return sendMsg(client, dataReply(replyType(), [&](JsonWriter& w) {
                       w.StartObject();
                       w.Key("photoCount");
                       w.Int(photos);
                       w.Key("videoCount");
                       w.Int(videos);
                       w.EndObject();
                   }));
}

bool ClientHandler::handleQueryAppConfig(CmdMessage const&, bufferevent* client) {
    // read again, so edits since start-up are seen
    std::unique_ptr<AppConfig> config;
    try {
        config = std::make_unique<AppConfig>(camera_paths::kAppConfig);
    } catch (const ConfigError& e) {
        LOG(ERROR) << "query app config err " << e.what();
        return replyWhat(client, e.what());
    }
    return sendMsg(client, dataReply(replyType(), [&](JsonWriter& w) { config->root().Accept(w); }));
}

bool ClientHandler::handleSetCamera(CmdMessage const& msg, bufferevent* client) {
    int index = 0, value = 0;
    std::string property;
    if (!request_args::getInt(msg, "index", index) || !request_args::getString(msg, "property", property) ||
        !request_args::getInt(msg, "value", value))
        return false;
    ctx_.camera_.setCameraProperty(index, property, value);
    return replyCode(client, true);
}

bool ClientHandler::handleQueryCamera(CmdMessage const& msg, bufferevent* client) {
    int index = 0;
    if (!request_args::getInt(msg, "index", index)) return false;
    // the index is a number, so no client text reaches the shell
    std::string out = readCmdOutput("v4l2-ctl -d /dev/video" + std::to_string(index) + " --list-ctrls");
    return sendMsg(client, dataReply(replyType(), [&](JsonWriter& w) {
                       w.StartObject();
                       w.Key("state");
                       writeString(w, out);
                       w.Key("index");
                       w.Int(index);
                       w.EndObject();
                   }));
}

bool ClientHandler::handleQueryCamera2(CmdMessage const&, bufferevent* client) {
    // v4l2-ctl and xuProbe for every lens take long on the loop: an answer of
    // a moment ago is given again while nothing could have changed it
    auto now = std::chrono::steady_clock::now();
    std::shared_ptr<CameraState> state = ctx_.state_;
    bool reusable = state && state->type() == state_type::kIdle;
    if (reusable && lens_answer_.set && lens_answer_.changes == lens_changes_ && lens_answer_.state.lock() == state &&
        now - lens_answer_.at < lens_answer_reuse_)
        return sendMsg(client, lens_answer_.text);
    lens_answer_.set = false;
    int lenses = 0;
    try {
        lenses = ctx_.camera_.app_config_.queryCameraNum();
    } catch (const ConfigError& e) {
        LOG(ERROR) << "query camera num err " << e.what();
    }
    std::map<int, std::map<std::string, std::string>> props;
    for (int i = 0; i < lenses; ++i) props[i] = ctx_.camera_.listCameraPropertyAndValue(i);
    std::string text = dataReply(replyType(), [&](JsonWriter& w) {
        w.StartObject();
        for (auto& lens : props) {
            w.Key(("video" + std::to_string(lens.first)).c_str());
            w.StartObject();
            for (auto& p : lens.second) {
                w.Key(p.first.c_str(), static_cast<rapidjson::SizeType>(p.first.size()));
                w.Uint64(leadingNumber(p.second));
            }
            w.EndObject();
        }
        w.EndObject();
    });
    if (reusable && ctx_.state_ == state) {
        // aged from before the programs ran
        lens_answer_.text = text;
        lens_answer_.state = state;
        lens_answer_.changes = lens_changes_;
        lens_answer_.at = now;
        lens_answer_.set = true;
    }
    return sendMsg(client, text);
}

bool ClientHandler::handleSetAutoExposureParam(CmdMessage const& msg, bufferevent* client) {
    double factor = 0;
    if (!request_args::getDouble(msg, "factor", factor)) return false;
    ctx_.camera_.process_controller_.setAutoExposureParam(factor);
    return replyCode(client, true);
}

bool ClientHandler::handleSetAudioDenoise(CmdMessage const& msg, bufferevent* client) {
    bool open = false;
    if (!request_args::getBool(msg, "open", open)) return false;
    LOG(INFO) << "denoise: " << (open ? 1 : 0);
    ctx_.camera_.process_controller_.setAudioDenoise(open);
    return replyCode(client, true);
}

bool ClientHandler::handleChangeAPPassword(CmdMessage const& msg, bufferevent* client) {
    std::string password;
    if (!request_args::getString(msg, "password", password)) return false;
    // the access point cannot start with any other passphrase, and the
    // camera would be out of reach
    if (password.size() < 8 || password.size() > 63 || !isPrintableAscii(password))
        return replyWhat(client, "invalid password");
    if (ctx_.camera_.configAP(Camera::kPassphraseKey, password) != 0) return replyWhat(client, kApNotConfigured);
    return replyCode(client, true);
}

bool ClientHandler::handleSetOffset(CmdMessage const& msg, bufferevent* client) {
    return setStoredProperty(*this, msg, client, ctx_.camera_.offset_conf_path_);
}

bool ClientHandler::handleQueryOffset(CmdMessage const& msg, bufferevent* client) {
    return queryStoredProperty(*this, msg, client, ctx_.camera_.offset_conf_path_);
}

bool ClientHandler::handleSetUserProperty(CmdMessage const& msg, bufferevent* client) {
    return setStoredProperty(*this, msg, client, camera_paths::kUserConf);
}

bool ClientHandler::handleQueryUserProperty(CmdMessage const& msg, bufferevent* client) {
    return queryStoredProperty(*this, msg, client, camera_paths::kUserConf);
}
