// A client's line as the protocol takes it: logged in a safe form, then run.
#include <glog/logging.h>

#include "common/log_text.h"
#include "controller/ClientHandler.h"
#include "controller/loop_guard.h"

namespace {

// True when the line is logged as it is: short, printable ASCII only.
bool plainText(const std::string& line) {
    if (line.size() > ClientHandler::kLoggedLineBytes) return false;
    for (char ch : line) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F) return false;
    }
    return true;
}

}  // namespace

std::string ClientHandler::loggedLine(std::string const& line) { return pnocamera::loggedText(line, kLoggedLineBytes); }

void ClientHandler::runLine(std::string const& line, bufferevent* client) {
    if (plainText(line))
        LOG(INFO) << "socket msg " << line;
    else
        LOG(INFO) << "socket msg " << loggedLine(line);
    guarded("command", [&] { handle(line, client); });
}
