// The rows of a table grouped by the id of their study, without copying them:
// each row is its place in the text, its line and a link to the next row of
// the same study.
#ifndef MORVEX_ESTIMATION_ROW_INDEX_HPP
#define MORVEX_ESTIMATION_ROW_INDEX_HPP

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

struct row_runs;

class row_index {
public:
    // Rows and offsets are 32 bits: 12 bytes a row. `none` ends a study's rows.
    static constexpr std::uint32_t none = UINT32_MAX;
    // The largest text whose rows can be indexed: every offset fits 32 bits,
    // and a row takes two characters at least, so that no row is `none`.
    static constexpr std::size_t max_text = none;

    struct row {
        std::uint32_t offset; // where its record starts in the text
        std::uint32_t line;   // the line it starts on
        std::uint32_t next;   // the study's next row, or none
    };

    // Adds a row to the study of `id`, a new one when the id is new. `id` must
    // outlast the index unless `copy`, when the index keeps its own copy.
    // `offset` is at most max_text.
    void add(std::string_view id, bool copy, std::size_t offset, int line);
    // Adds the rows of `part`, read from text that follows every row added so
    // far, whose lines count from 0 where this text is at line `line`.
    void append(const row_runs& part, std::uint32_t line);
    // Room for this many rows, so that they are not copied as the index grows.
    void reserve(std::size_t rows);
    // Drops the lookup of ids once every row is added.
    void done();

    std::size_t study_count() const { return ids_.size(); }
    std::string_view id(std::size_t k) const { return ids_[k]; }
    // The k-th study's first row in the order of the text; each row links the next.
    std::uint32_t first(std::size_t k) const { return first_[k]; }
    const row& at(std::uint32_t r) const { return rows_[r]; }
    std::size_t row_count(std::size_t k) const;

private:
    // A slot holds a study and the low half of its id's hash, so that a probe
    // compares ids only when their hashes agree, and growing hashes none again.
    struct slot_entry {
        std::uint32_t study;
        std::uint32_t hash;
    };
    slot_entry& slot(std::string_view id, std::uint32_t hash);
    // The study of `id`, whose hash is `hash`; a new one (with no rows) when the id is new.
    std::uint32_t study_of(std::string_view id, std::uint32_t hash, bool copy,
                           std::uint32_t first_row);
    void grow();

    std::vector<row> rows_;
    std::vector<std::string_view> ids_; // in order of first appearance
    std::vector<std::uint32_t> first_, last_;
    std::uint32_t latest_ = 0;       // the study of the row added last
    std::vector<slot_entry> slots_;  // open addressing by hash: a study, or none
    std::deque<std::string> copies_; // the ids that are not views into the text
};

// A piece of a table's rows as a thread reads them: in the order of the
// text, grouped only where an id follows itself, with each group's id hashed
// once. row_index::append joins such pieces in order, which is where the ids
// are looked up, once a group.
struct row_runs {
    struct run {
        std::string_view id; // a view into the text
        std::uint32_t hash;
        std::uint32_t first, last; // its rows
    };
    std::vector<row_index::row> rows; // each linked to the next of its run
    std::vector<run> runs;

    void add(std::string_view id, std::size_t offset, int line);
};

} // namespace morvex

#endif
