#include "control_server.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include <glib-unix.h>

#include "common/line_io.h"

namespace vcam {

namespace {

const size_t kMaxLine = 4096;

}  // namespace

struct ControlServer::Connection {
    int fd;
    guint source = 0;
    pnocamera::LineBuffer input;
};

ControlServer::ControlServer(const std::string& path, Commands commands) : path_(path), commands_(commands) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long");
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + strerror(errno));
    unlink(path.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd_, 16) != 0) {
        int e = errno;
        close(fd_);
        throw std::runtime_error("cannot listen on " + path + ": " + strerror(e));
    }
    source_ = g_unix_fd_add(fd_, G_IO_IN, &ControlServer::onAccept, this);
}

ControlServer::~ControlServer() {
    for (auto& kv : connections_) {
        g_source_remove(kv.second->source);
        close(kv.first);
    }
    g_source_remove(source_);
    close(fd_);
    unlink(path_.c_str());
}

gboolean ControlServer::onAccept(int, GIOCondition, gpointer self) {
    auto* s = static_cast<ControlServer*>(self);
    int fd = accept4(s->fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return G_SOURCE_CONTINUE;
    // a client that stops reading does not stall the server for long
    timeval tv{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->source = g_unix_fd_add(fd, G_IO_IN, &ControlServer::onInput, s);
    s->connections_[fd] = std::move(c);
    return G_SOURCE_CONTINUE;
}

gboolean ControlServer::onInput(int fd, GIOCondition, gpointer self) {
    auto* s = static_cast<ControlServer*>(self);
    Connection& c = *s->connections_.at(fd);
    ssize_t n = c.input.receive(fd);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return G_SOURCE_CONTINUE;
    if (n <= 0) return s->drop(fd);
    std::string line;
    while (c.input.takeLine(line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!s->reply(fd, s->commands_(line))) return s->drop(fd);
    }
    if (c.input.size() > kMaxLine) {
        s->reply(fd, "err line too long");
        return s->drop(fd);
    }
    return G_SOURCE_CONTINUE;
}

bool ControlServer::reply(int fd, std::string text) {
    for (char& ch : text)
        if (ch == '\n') ch = ' ';
    text += '\n';
    return pnocamera::sendAll(fd, text.data(), text.size());
}

gboolean ControlServer::drop(int fd) {
    close(fd);
    connections_.erase(fd);
    return G_SOURCE_REMOVE;
}

}  // namespace vcam
