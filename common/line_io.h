// Lines over a stream socket: received bytes handed out a complete line at a
// time, and a send that writes every byte.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace pnocamera {

// Bytes received so far; complete lines go out one by one, a partial line
// stays until its '\n' comes.
class LineBuffer {
public:
    void append(const char* data, size_t size) { bytes_.append(data, size); }
    // One recv of up to 4096 bytes from fd into the buffer; recv's result.
    ssize_t receive(int fd);
    // Moves the next complete line, without its '\n', into line; false while
    // no line is complete.
    bool takeLine(std::string& line);
    bool empty() const { return bytes_.empty(); }
    // Bytes held that were not taken as lines.
    size_t size() const { return bytes_.size(); }

private:
    std::string bytes_;
};

// Sends all size bytes of data on a socket (MSG_NOSIGNAL), again after EINTR.
// False when a send fails or sends nothing (errno tells).
bool sendAll(int fd, const char* data, size_t size);

}  // namespace pnocamera
