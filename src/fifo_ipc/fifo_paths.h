// The two named pipes between the controller and its workers.
#pragma once

namespace pnocamera {
// Workers write their messages here; the controller reads them.
constexpr const char kServerReadFifo[] = "/tmp/server_read.fifo";
// The controller writes commands for the streaming worker here.
constexpr const char kServerWriteFifo[] = "/tmp/server_write.fifo";
}  // namespace pnocamera
