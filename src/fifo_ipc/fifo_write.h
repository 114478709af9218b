#pragma once

#include <string>

namespace pnocamera {

// One message line: the text, then a single "\n", as two writes.
bool writeFramedLine(int fd, const std::string& text);

}  // namespace pnocamera
