// Worker side of the named pipes: open one end, write framed lines, close.
#pragma once

#include <string>

namespace pnocamera {

void SetUpWrite(const std::string& path, int* fd);
void SetUpRead(const std::string& path, int* fd);
void CloseFifo(int fd);
bool WriteClientFifo(int fd, const std::string& text);

}  // namespace pnocamera
