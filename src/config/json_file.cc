#include "config/json_file.h"

#include <cstdio>

#include <rapidjson/filewritestream.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "common/file_util.h"

bool writePrettyJson(const std::string& path, const rapidjson::Value& doc) {
    return pnocamera::replaceFileAtomically(path, [&doc](FILE* fp) {
        char buf[1024];
        rapidjson::FileWriteStream os(fp, buf, sizeof buf);
        rapidjson::PrettyWriter<rapidjson::FileWriteStream> writer(os);
        bool done = doc.Accept(writer);
        os.Flush();
        return done;
    });
}

size_t prettyJsonSize(const rapidjson::Value& doc) {
    rapidjson::StringBuffer sb;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(sb);
    doc.Accept(writer);
    return sb.GetSize();
}
