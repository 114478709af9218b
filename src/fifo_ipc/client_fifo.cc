#include "fifo_ipc/client_fifo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <glog/logging.h>

#include "fifo_ipc/fifo_write.h"

namespace pnocamera {

namespace {
void openEnd(const std::string& path, int flags, int* fd) {
    *fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
    if (*fd < 0) {
        int err = errno;
        *fd = -1;
        LOG(ERROR) << strerror(err);
    }
}
}  // namespace

void SetUpWrite(const std::string& path, int* fd) { openEnd(path, O_WRONLY, fd); }

void SetUpRead(const std::string& path, int* fd) { openEnd(path, O_RDONLY, fd); }

void CloseFifo(int fd) {
    if (fd > 0) close(fd);
}

bool WriteClientFifo(int fd, const std::string& text) {
    if (fd == -1) return false;
    return writeFramedLine(fd, text);
}

bool writeFramedLine(int fd, const std::string& text) {
    // A short write counts as failed; the line end still follows so that a
    // reader drops the broken line instead of joining it to the next one.
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = write(fd, "\n", 1) == 1 && ok;
    return ok;
}

}  // namespace pnocamera
