#include "estimation/format.hpp"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace morvex {

std::string format(const char* fmt, ...) {
    // Measure first, then write: a va_list is used once per va_start.
    va_list args;
    va_start(args, fmt);
    // The analyzer of clang-tidy 14 does not see va_start initialise args.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const int size = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    if (size <= 0) {
        return {};
    }
    std::vector<char> buffer(static_cast<std::size_t>(size) + 1);
    va_start(args, fmt);
    std::vsnprintf(buffer.data(), buffer.size(), fmt, args);
    va_end(args);
    return {buffer.data(), static_cast<std::size_t>(size)};
}

} // namespace morvex
