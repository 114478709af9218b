#include "model/FileCounter.h"

#include <glog/logging.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "common/file_util.h"

int FileCounter::nextCount() const {
    int value = 1;
    std::string text;
    if (pnocamera::readSmallFile(path_, text)) {
        std::istringstream in(text);
        long n = 0;
        if (!(in >> n)) n = 0;
        // a negative or oversized value counts as none
        value = (n < 0 || n >= kMaxCount) ? 1 : static_cast<int>(n) + 1;
    }
    // a new file put in place whole: a power cut never leaves it empty
    if (!pnocamera::replaceFileAtomically(path_, std::to_string(value)))
        LOG(ERROR) << "write counter file err " << path_ << " :" << std::strerror(errno);
    return value;
}
