// The device server's control socket (DIR/ctl.sock) on the GLib main loop:
// each line a client sends is one command, answered with one line (line
// breaks in the answer become spaces). A line longer than 4096 bytes is
// answered "err line too long" and ends the connection.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include <glib.h>

namespace vcam {

class ControlServer {
public:
    using Commands = std::function<std::string(const std::string&)>;

    // Listens on path (a socket left there is replaced); std::runtime_error
    // when it cannot.
    ControlServer(const std::string& path, Commands commands);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

private:
    struct Connection;

    static gboolean onAccept(int, GIOCondition, gpointer self);
    static gboolean onInput(int fd, GIOCondition, gpointer self);
    bool reply(int fd, std::string text);
    gboolean drop(int fd);

    std::string path_;
    Commands commands_;
    int fd_ = -1;
    guint source_ = 0;
    std::map<int, std::unique_ptr<Connection>> connections_;
};

}  // namespace vcam
