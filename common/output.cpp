#include "output.hpp"

#include <cstdarg>
#include <cstdio>

void output_flush() {
    std::fflush(stdout);
}

int output_error(const char* format, ...) {
    std::fflush(stdout);
    std::va_list arguments;
    va_start(arguments, format);
    const int result = std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fflush(stderr);
    return result;
}
