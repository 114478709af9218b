#include "command_words.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace vcam {

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

bool toLong(const std::string& s, long lo, long hi, long& out, int base) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

}  // namespace vcam
