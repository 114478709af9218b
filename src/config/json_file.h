#pragma once

#include <cstddef>
#include <string>

#include <rapidjson/document.h>

// Rewrites path with doc pretty-printed (four spaces a level, no line end
// after the root), crash-safely. False when the file could not be written.
bool writePrettyJson(const std::string& path, const rapidjson::Value& doc);

// The length of doc as writePrettyJson writes it.
size_t prettyJsonSize(const rapidjson::Value& doc);
