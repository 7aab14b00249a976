// The program's JSON as R objects: objects as named lists, arrays of numbers,
// strings or booleans as vectors (null as NA), arrays of equal arrays of numbers
// as matrices, arrays of objects as data frames.
#ifndef MORVEX_R_JSON_TO_R_H
#define MORVEX_R_JSON_TO_R_H

#define R_NO_REMAP
#include <Rinternals.h>

#include <cstddef>
#include <string_view>

// The R object of `text`, unprotected; nullptr with the reason in `why` (of
// `size` bytes) when `text` is not one JSON value.
SEXP json_to_r(std::string_view text, char* why, std::size_t size);

#endif
