#include "common/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace pnocamera {

namespace {

// A rewrite's temporary file is named after its file, this infix and the six
// letters or digits mkostemp puts in; no other file beside it has that form.
constexpr char kRewriteInfix[] = ".rewrite-";
constexpr size_t kRandomChars = 6;

}  // namespace

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
    std::string name = path + kRewriteInfix + std::string(kRandomChars, 'X');
    std::vector<char> tmpl(name.c_str(), name.c_str() + name.size() + 1);  // with the NUL
    int fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) return false;
    const char* tmp = tmpl.data();
    FILE* fp = fdopen(fd, "w");
    if (!fp) {
        int err = errno;
        close(fd);
        unlink(tmp);
        errno = err;
        return false;
    }
    // the first failure's error number is the one the caller sees
    int err = 0;
    auto step = [&err](bool done) {
        if (!done && err == 0) err = errno ? errno : EIO;
        return done;
    };
    errno = 0;
    bool ok = step(fchmod(fd, mode) == 0);
    errno = 0;
    ok = step(writer(fp)) && ok;
    ok = step(fflush(fp) == 0) && ok;
    ok = step(!ferror(fp)) && ok;
    ok = step(fsync(fd) == 0) && ok;
    ok = step(fclose(fp) == 0) && ok;
    if (ok && step(rename(tmp, path.c_str()) == 0)) return true;
    unlink(tmp);
    errno = err;
    return false;
}

int removeRewriteLeftovers(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + kRewriteInfix;
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) return 0;
    int removed = 0;
    while (const dirent* e = readdir(d.get())) {
        std::string name = e->d_name;
        if (name.size() != prefix.size() + kRandomChars || name.compare(0, prefix.size(), prefix) != 0) continue;
        bool temporary = std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
        struct stat st;
        std::string full = dir + name;
        if (!temporary || lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (unlink(full.c_str()) == 0) ++removed;
    }
    return removed;
}

bool replaceFileAtomically(const std::string& path, const std::string& content) {
    return replaceFileAtomically(
        path, [&content](FILE* fp) { return fwrite(content.data(), 1, content.size(), fp) == content.size(); });
}

}  // namespace pnocamera
