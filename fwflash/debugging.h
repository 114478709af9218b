// Fatal conditions of the firmware tool: a message on standard output, then
// the process aborts.
#pragma once

[[noreturn]] void __FATAL(const char* format, ...) __attribute__((format(printf, 1, 2)));
