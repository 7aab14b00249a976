#include "estimation/format.hpp"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace morvex {

std::string format(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    std::va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string result;
    if (size > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(size) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), fmt, again);
        result.assign(buffer.data(), static_cast<std::size_t>(size));
    }
    va_end(again);
    return result;
}

} // namespace morvex
