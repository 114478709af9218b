// offset_updater: converts the stored lens offset and its origin in
// "/etc/offset.conf" from format version 1 to version 2, in place.
//
// Exit status: 0 done (or nothing to convert), 9 configuration error,
// 13 an offset that does not parse or does not match its origin.
#include <glog/logging.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/worker_status.h"
#include "config/config_error.h"
#include "config/property_config.h"
#include "offset/offset_param.h"
#include "offset/update_offset.h"

namespace {

constexpr const char* kOffsetFile = "/etc/offset.conf";

int run() {
    std::unique_ptr<PropertyConfig, PropertyConfigDeleter> config(new PropertyConfig(kOffsetFile));

    const std::string encoded = config->queryProperty("defaultOffset");
    const std::string origin_text = config->queryProperty("origin");

    OffsetParam offset(base64Decode(encoded));
    OffsetParam origin(origin_text);

    LOG(INFO) << "before update default " << offset;
    LOG(INFO) << "before update origin " << origin;

    OffsetUpdater updater(offset, origin);
    const int converted = updater.update();

    LOG(INFO) << "after update default " << offset;
    LOG(INFO) << "after update origin " << origin;

    // Nothing converted: keep both texts exactly as stored, since a version-0
    // text written back in canonical form would read as version 1 next time.
    if (converted == 0) return 0;

    // Both members in one rewrite, so the file never pairs a converted
    // offset with an old origin.
    const std::vector<std::pair<std::string, std::string>> members = {
        {"defaultOffset", base64Encode(offset.toString())},
        {"origin", origin.toString()},
    };
    if (!config->setProperties(members)) return worker_status::kConfig;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    google::InitGoogleLogging(argc > 0 ? argv[0] : "offset_updater");
    google::InstallFailureSignalHandler();
    FLAGS_logtostderr = true;
    try {
        return run();
    } catch (const OffsetError&) {
        return worker_status::kOffset;
    } catch (const ConfigError&) {
        return worker_status::kConfig;
    }
}
