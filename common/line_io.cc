#include "common/line_io.h"

#include <errno.h>
#include <sys/socket.h>

namespace pnocamera {

ssize_t LineBuffer::receive(int fd) {
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) bytes_.append(buf, size_t(n));
    return n;
}

bool LineBuffer::takeLine(std::string& line) {
    size_t nl = bytes_.find('\n');
    if (nl == std::string::npos) return false;
    line = bytes_.substr(0, nl);
    bytes_.erase(0, nl + 1);
    return true;
}

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

}  // namespace pnocamera
