// A table's rows grouped by study id: the text after the header, read for
// each row's id alone, on several threads when the text is large.
#ifndef MORVEX_ESTIMATION_TABLE_INDEX_HPP
#define MORVEX_ESTIMATION_TABLE_INDEX_HPP

#include "estimation/input/row_index.hpp"

#include <cstddef>
#include <string_view>

namespace morvex {

// Where the rows start: their first byte and its line.
struct table_body {
    std::size_t offset = 0;
    int line = 1;
};

// A piece of text each thread indexes at a time.
constexpr std::size_t index_chunk_bytes = std::size_t{1} << 20;

// The rows of `text` from `body` on, by the id in field `id_field`; blank
// rows are left out. With several `threads` a text of at least two chunks
// is cut into chunks at line ends up to its first quote, indexed apart and
// joined in order; the index is the same as one thread's. Throws
// table_error for a broken quote.
row_index index_table_rows(std::string_view text, char separator, std::size_t id_field,
                           table_body body, unsigned threads,
                           std::size_t chunk_bytes = index_chunk_bytes);

} // namespace morvex

#endif
