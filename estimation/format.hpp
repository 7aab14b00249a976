// printf-style formatting into a string: the report's fields are defined by
// printf conversions ("%9lg", "%14lg"), so they are produced by them.
#ifndef MORVEX_ESTIMATION_FORMAT_HPP
#define MORVEX_ESTIMATION_FORMAT_HPP

#include <string>

namespace morvex {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string
format(const char* fmt, ...);

} // namespace morvex

#endif
