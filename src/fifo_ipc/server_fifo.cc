#include "fifo_ipc/server_fifo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <glog/logging.h>

#include "fifo_ipc/fifo_write.h"

namespace pnocamera {

bool Createfifo(const std::string& path) {
    // 0664 whatever the umask
    auto made = [&path] {
        if (mkfifo(path.c_str(), 0664) != 0) return false;
        chmod(path.c_str(), 0664);
        return true;
    };
    if (made()) return true;
    if (errno != EEXIST) return false;
    unlink(path.c_str());
    if (made()) return true;
    int err = errno;
    perror("make fifo");
    errno = err;
    return false;
}

bool SetupServerCommunicate(const std::string& read_path, int* read_fd, const std::string& write_path, int* write_fd) {
    if (!Createfifo(read_path) || !Createfifo(write_path)) return false;
    *read_fd = open(read_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    *write_fd = open(write_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return *read_fd >= 0 && *write_fd >= 0;
}

bool WriteServerFifo(int fd, const std::string& text) {
    if (fd == -1) return false;
    LOG(INFO) << "server write:" << text;
    return writeFramedLine(fd, text);
}

}  // namespace pnocamera
