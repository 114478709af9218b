// The camera's stored files under /etc, shared by every program.
#pragma once

namespace camera_paths {
constexpr const char kAppConfig[] = "/etc/appConfig.json";
constexpr const char kOffsetConf[] = "/etc/offset.conf";
constexpr const char kUserConf[] = "/etc/user.conf";
constexpr const char kIdConf[] = "/etc/ID.conf";
constexpr const char kCounterConf[] = "/etc/cnt.conf";
constexpr const char kVersionTxt[] = "/etc/version.txt";
constexpr const char kApConf[] = "/etc/rtl_hostapd_2G.conf";
}  // namespace camera_paths
