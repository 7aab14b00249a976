#include "estimation/input/table_index.hpp"

#include "estimation/base/in_order.hpp"
#include "estimation/input/table_header.hpp"
#include "estimation/input/table_records.hpp"

#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

namespace morvex {
namespace {

// Adds the rows of `text` from `begin` to its end, their lines counted from
// `line`, to `index` (a row_index or row_runs); gives the line after the last.
template <class Index>
int add_rows(Index& index, std::string_view text, char separator, std::size_t id_field,
             std::size_t begin, int line) {
    record_reader in(text, separator, begin, line);
    std::vector<std::string_view> fields;
    while (!in.at_end()) {
        const std::size_t offset = in.position();
        const int row_line = in.line();
        bool blank = false;
        const std::string_view id = trimmed(in.next_field(id_field, blank, fields));
        if (blank) {
            continue;
        }
        if constexpr (std::is_same_v<Index, row_runs>) {
            index.add(id, offset, row_line); // no quotes: a view into the text
        } else {
            index.add(id, in.is_copy(id), offset, row_line);
        }
    }
    return in.line();
}

// A piece of the text, ending just past a line end, and its rows. On a
// cache line of its own: neighbouring chunks grow row by row on other threads.
struct alignas(64) index_chunk {
    std::size_t begin = 0, end = 0;
    bool tail = false; // the rest of the text, from a chunk with a quote on
    row_runs rows;
    int lines = 0; // line ends in it
};

// Room in `index` for the rows of a text of `size` bytes whose first `bytes`
// gave `first`, so that the rows are not copied as the index grows. A first
// chunk of short rows must not make it reserve much more than the rows can
// take: no more than a row for every 16 bytes.
void reserve_like(row_index& index, const row_runs& first, std::size_t bytes, std::size_t size) {
    const double scale = 1.05 * static_cast<double>(size) / static_cast<double>(bytes);
    const auto rows = static_cast<std::size_t>(scale * static_cast<double>(first.rows.size()));
    index.reserve(std::min(rows, size / 16));
}

} // namespace

row_index index_table_rows(std::string_view text, char separator, std::size_t id_field,
                           table_body body, unsigned threads, std::size_t chunk_bytes) {
    row_index index;
    if (threads < 2 || text.size() - body.offset < 2 * chunk_bytes) {
        add_rows(index, text, separator, id_field, body.offset, body.line);
        index.done();
        return index;
    }
    std::vector<index_chunk> slots(2 * static_cast<std::size_t>(threads));
    std::size_t next = body.offset;
    const auto cut = [&](index_chunk& c) {
        if (next == text.size()) {
            return false;
        }
        c.begin = next;
        const std::size_t at = text.find('\n', std::min(text.size(), next + chunk_bytes));
        next = at == std::string_view::npos ? text.size() : at + 1;
        // A quote may hold a line end, so the text from a chunk with a quote
        // on is read in order, with its lines, where the chunks are joined.
        c.tail = text.substr(c.begin, next - c.begin).find('"') != std::string_view::npos;
        if (c.tail) {
            next = text.size();
        }
        c.end = next;
        return true;
    };
    const auto make = [&](index_chunk& c, unsigned) {
        c.rows.rows.clear();
        c.rows.runs.clear();
        if (!c.tail) {
            c.lines = add_rows(c.rows, text.substr(0, c.end), separator, id_field, c.begin, 0);
        }
    };
    int line = body.line;
    const auto take = [&](const index_chunk& c) {
        if (c.tail) {
            add_rows(index, text, separator, id_field, c.begin, line);
            return;
        }
        if (c.begin == body.offset) {
            reserve_like(index, c.rows, c.end - c.begin, text.size() - body.offset);
        }
        index.append(c.rows, static_cast<std::uint32_t>(line));
        line += c.lines;
    };
    in_order(slots, threads, cut, make, take);
    index.done();
    return index;
}

} // namespace morvex
