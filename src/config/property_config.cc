#include "config/property_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include <glog/logging.h>

#include "common/file_util.h"
#include "config/json_file.h"

PropertyConfig::PropertyConfig(const std::string& path) : path_(path) {
    FILE* fp = fopen(path.c_str(), "a+");
    bool writable = fp != nullptr;
    if (fp) {
        fclose(fp);
    } else {
        // a read-only file or folder: queries still read what is there, and
        // a set reports the error
        error_ = std::strerror(errno);
        LOG(ERROR) << "open config file err:" << path << " " << error_;
    }
    std::string text;
    // read whole, however large: clients may store long values, and a file
    // taken for unreadable would be reset and lose the lens offset
    bool read = pnocamera::readSmallFile(path, text, std::numeric_limits<size_t>::max());
    if (!read) text.clear();
    doc_.Parse(text.c_str(), text.size());
    if (!writable) {
        // nothing is reset in a file that cannot be written
        if (doc_.HasParseError() || !doc_.IsObject()) doc_.SetObject();
        return;
    }
    if (doc_.HasParseError() || !doc_.IsObject()) {
        LOG(INFO) << "reset property config to json object";
        // Keep what the file held beside it, so a damaged file is not lost.
        if (!text.empty() && !pnocamera::replaceFileAtomically(path + ".bad", text))
            LOG(ERROR) << "can't keep " << path << ".bad";
        doc_.SetObject();
        update();
    }
}

// The key as a JSON name of its whole length (a plain C string would end at
// a NUL byte).
static rapidjson::Value nameOf(const std::string& key) {
    return rapidjson::Value(rapidjson::StringRef(key.data(), key.size()));
}

rapidjson::Value& PropertyConfig::slot(const std::string& key) {
    auto it = doc_.FindMember(nameOf(key));
    if (it != doc_.MemberEnd()) return it->value;
    rapidjson::Value name(key.c_str(), static_cast<rapidjson::SizeType>(key.size()), doc_.GetAllocator());
    doc_.AddMember(name, rapidjson::Value(), doc_.GetAllocator());
    return (doc_.MemberEnd() - 1)->value;
}

void PropertyConfig::assign(const std::string& key, const char* value) {
    slot(key).SetString(value, doc_.GetAllocator());
}

// The whole text, NUL bytes included.
void PropertyConfig::assign(const std::string& key, const std::string& value) {
    slot(key).SetString(value.data(), static_cast<rapidjson::SizeType>(value.size()), doc_.GetAllocator());
}

void PropertyConfig::assign(const std::string& key, int value) { slot(key).SetInt(value); }

void PropertyConfig::assign(const std::string& key, double value) { slot(key).SetDouble(value); }

bool PropertyConfig::setProperties(const std::vector<std::pair<std::string, std::string>>& members) {
    for (auto& m : members) assign(m.first, m.second);
    return update();
}

const rapidjson::Value* PropertyConfig::find(const std::string& key) const {
    auto it = doc_.FindMember(nameOf(key));
    return it == doc_.MemberEnd() ? nullptr : &it->value;
}

template <>
bool PropertyConfig::hasProperty<std::string>(const std::string& key) const {
    const rapidjson::Value* v = find(key);
    return v && v->IsString();
}

template <>
bool PropertyConfig::hasProperty<int>(const std::string& key) const {
    const rapidjson::Value* v = find(key);
    return v && v->IsInt();
}

template <>
std::string PropertyConfig::queryProperty<std::string>(const std::string& key) const {
    if (!hasProperty<std::string>(key)) return "";
    const rapidjson::Value& v = *find(key);
    return std::string(v.GetString(), v.GetStringLength());
}

template <>
int PropertyConfig::queryProperty<int>(const std::string& key) const {
    return hasProperty<int>(key) ? find(key)->GetInt() : 0;
}

bool PropertyConfig::setPropertyWithin(const std::string& key, const std::string& value, size_t max_bytes) {
    // A file already past the bound (older firmware wrote larger ones) can
    // always shrink or keep its size: the bound stops only growth beyond it,
    // measured against the file on disk and its content as written now.
    size_t now = prettyJsonSize(doc_);
    struct stat st;
    if (stat(path_.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) > now) now = static_cast<size_t>(st.st_size);
    assign(key, value);
    size_t after = prettyJsonSize(doc_);
    if (after > max_bytes && after > now) {
        error_ = "file too large";
        return false;
    }
    return update();
}

bool PropertyConfig::update() {
    errno = 0;
    bool ok = writePrettyJson(path_, doc_);
    if (!ok) {
        error_ = std::strerror(errno ? errno : EIO);
        LOG(ERROR) << "write property file err " << path_ << " " << error_;
    }
    sync();
    return ok;
}
