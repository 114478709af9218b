// Small-file helpers shared by every program: config and sysfs reads, and
// crash-safe rewrites of stored state.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

namespace pnocamera {

// Reads a whole small file (sysfs values, config files). False when it cannot
// be opened or read, or when it is larger than max_bytes.
bool readSmallFile(const std::string& path, std::string& out, size_t max_bytes = 1 << 20);

// Writes text in one write to an existing file or sysfs value (as the shell's
// "echo TEXT>PATH" does, the line end included in text); the file is never
// created. False when it cannot be opened or the write falls short.
bool writeSysfsValue(const std::string& path, const std::string& text);

// Replaces path with new content so that a crash leaves either the old or the
// new file, never a partial one: the content goes to a temporary file in the
// same directory, which is flushed, synced and renamed over path. The new file
// keeps the old one's permissions (0666 less the umask for a new file).
// writer gets the open temporary stream and returns false on its own failure.
bool replaceFileAtomically(const std::string& path, const std::function<bool(FILE*)>& writer);
bool replaceFileAtomically(const std::string& path, const std::string& content);

// Removes the temporary files that replaceFileAtomically leaves beside path
// when the process is killed during a rewrite (regular files named path,
// ".rewrite-" and six letters or digits; nothing else); the number removed.
int removeRewriteLeftovers(const std::string& path);

}  // namespace pnocamera
