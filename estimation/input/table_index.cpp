#include "estimation/input/table_index.hpp"

#include "estimation/base/in_order.hpp"
#include "estimation/input/table_header.hpp"
#include "estimation/input/table_records.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace morvex {
namespace {

// Adds the rows of `text` from `begin` to its end, their lines counted from
// `line`; gives the line after the last.
int add_rows(row_index& index, std::string_view text, char separator, std::size_t id_field,
             std::size_t begin, int line) {
    record_reader in(text, separator, begin, line);
    std::vector<std::string_view> fields;
    while (!in.at_end()) {
        const std::size_t offset = in.position();
        const int row_line = in.line();
        bool blank = false;
        const std::string_view id = trimmed(in.next_field(id_field, blank, fields));
        if (!blank) {
            index.add(id, in.is_copy(id), offset, row_line);
        }
    }
    return in.line();
}

// A piece of the text, ending just past a line end, and its rows.
struct index_chunk {
    std::size_t begin = 0, end = 0;
    bool tail = false; // the rest of the text, from a chunk with a quote on
    row_index rows;
    int lines = 0; // line ends in it
};

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
        c.rows = row_index();
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
        index.append(c.rows, static_cast<std::uint32_t>(line));
        line += c.lines;
    };
    in_order(slots, threads, cut, make, take);
    index.done();
    return index;
}

} // namespace morvex
