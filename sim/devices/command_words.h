// Parsing of the device server's command lines: words and bounded numbers.
#pragma once

#include <string>
#include <vector>

namespace vcam {

std::vector<std::string> words(const std::string& line);
// The whole of s as a number in [lo, hi] (in base), else false.
bool toLong(const std::string& s, long lo, long hi, long& out, int base = 10);

}  // namespace vcam
