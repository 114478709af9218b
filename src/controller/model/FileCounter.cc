#include "model/FileCounter.h"

#include <glog/logging.h>

#include <cerrno>
#include <cstring>
#include <fstream>

int FileCounter::nextCount() const {
    int value = 1;
    {
        std::ifstream in(path_);
        if (in) {
            long n = 0;
            if (!(in >> n)) n = 0;
            // a negative or oversized value counts as none
            value = (n < 0 || n >= kMaxCount) ? 1 : static_cast<int>(n) + 1;
        }
    }
    std::ofstream out(path_, std::ios::trunc);
    out << value;
    out.close();
    if (!out) LOG(ERROR) << "write counter file err " << path_ << " :" << std::strerror(errno);
    return value;
}
