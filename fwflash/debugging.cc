#include "debugging.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void __FATAL(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
    abort();
}
