// Controller side of the two named pipes: creates both and keeps them open.
#pragma once

#include <string>

namespace pnocamera {

bool Createfifo(const std::string& path);
bool SetupServerCommunicate(const std::string& read_path, int* read_fd, const std::string& write_path, int* write_fd);
bool WriteServerFifo(int fd, const std::string& text);

}  // namespace pnocamera
