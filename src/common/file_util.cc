#include "common/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace pnocamera {

bool readSmallFile(const std::string& path, std::string& out, size_t max_bytes) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string data;
    char buf[4096];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (n == 0) break;
        if (data.size() + static_cast<size_t>(n) > max_bytes) {
            ok = false;
            break;
        }
        data.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (ok) out.swap(data);
    return ok;
}

bool writeSysfsValue(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n;
    do {
        n = write(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    close(fd);
    return n == static_cast<ssize_t>(text.size());
}

bool replaceFileAtomically(const std::string& path, const std::function<bool(FILE*)>& writer) {
    mode_t mode;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    std::vector<char> tmpl(path.begin(), path.end());
    const char suffix[] = ".XXXXXX";
    tmpl.insert(tmpl.end(), suffix, suffix + sizeof suffix);  // with the NUL
    int fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) return false;
    const char* tmp = tmpl.data();
    FILE* fp = fdopen(fd, "w");
    if (!fp) {
        close(fd);
        unlink(tmp);
        return false;
    }
    bool ok = fchmod(fd, mode) == 0;
    ok = writer(fp) && ok;
    ok = fflush(fp) == 0 && ok;
    ok = !ferror(fp) && ok;
    ok = fsync(fd) == 0 && ok;
    ok = fclose(fp) == 0 && ok;
    if (ok && rename(tmp, path.c_str()) == 0) return true;
    unlink(tmp);
    return false;
}

bool replaceFileAtomically(const std::string& path, const std::string& content) {
    return replaceFileAtomically(path, [&content](FILE* fp) {
        return fwrite(content.data(), 1, content.size(), fp) == content.size();
    });
}

}  // namespace pnocamera
