// Outside texts (client lines, worker lines, file names, file contents) in
// the form a log line may carry them.
#pragma once

#include <cstddef>
#include <string>

namespace pnocamera {

// The text with every byte that is not printable text (ASCII 0x20-0x7E or a
// printable UTF-8 character from U+00A0 on) written as \xNN, so that no line
// end or terminal control of it reaches the log; past max_bytes only the
// total length follows ("... (N bytes)").
std::string loggedText(const std::string& text, size_t max_bytes = std::string::npos);

}  // namespace pnocamera
