#include "model/sdcard.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <sstream>

#include <glog/logging.h>

#include "common/file_util.h"

namespace {

// Room one photo takes on the card, for the photos-left estimate (MiB).
constexpr double kMibPerPhoto = 5.5;

}  // namespace

Sdcard::Sdcard() {
    int fd = open(block_device_.c_str(), O_RDONLY | O_CLOEXEC);
    inserted_ = fd >= 0;
    if (fd >= 0) close(fd);
    supported_ = checkIsVfat();
}

bool Sdcard::checkIsVfat() const {
    std::string text;
    if (!pnocamera::readSmallFile(mounts_file_, text)) text.clear();
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("sdcard") != std::string::npos && line.find("rw") != std::string::npos) return true;
    }
    LOG(INFO) << "unsupported TF card";
    return false;
}

bool Sdcard::queryStatus(unsigned long long& freeBytes, unsigned long long& totalBytes) const {
    struct statfs st;
    if (statfs(mount_path_, &st) != 0) return false;
    freeBytes = static_cast<unsigned long long>(st.f_bfree) * static_cast<unsigned long long>(st.f_bsize);
    totalBytes = static_cast<unsigned long long>(st.f_blocks) * static_cast<unsigned long long>(st.f_bsize);
    return true;
}

int Sdcard::estimatePhotoLeft() const {
    if (!inserted_) return -1;
    unsigned long long freeBytes = 0, totalBytes = 0;
    if (!queryStatus(freeBytes, totalBytes)) return -1;
    unsigned long long mib = freeBytes >> 20;
    return static_cast<int>(static_cast<double>(mib) / kMibPerPhoto);
}

int Sdcard::queryTypeNumber(std::string suffix) const {
    if (!inserted_) return -1;
    DIR* dir = opendir(mount_path_);
    if (!dir) return 0;
    int count = 0;
    while (struct dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            ++count;
    }
    closedir(dir);
    return count;
}
