// The records of a delimited text: fields split at the separator, quoted
// fields, line ends of every kind.
#ifndef MORVEX_ESTIMATION_TABLE_RECORDS_HPP
#define MORVEX_ESTIMATION_TABLE_RECORDS_HPP

#include "estimation/input/table_header.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// RFC 4180 records: a field in double quotes may hold separators, line breaks
// and doubled quotes. A line ends in LF, CRLF or a lone CR.
class record_reader {
public:
    record_reader(std::string_view text, char separator, std::size_t pos, int line)
        : text_(text), sep_(separator), pos_(pos), line_(line) {}

    bool at_end() const { return pos_ >= text_.size(); }
    std::size_t position() const { return pos_; }
    int line() const { return line_; }

    // Reads the next record into `fields`. Throws table_error on a broken quote.
    // The strings of `fields` are reused from record to record: a table of many
    // studies is read without an allocation per field.
    void next(std::vector<std::string>& fields);

private:
    std::string_view text_;
    char sep_;
    std::size_t pos_;
    int line_;
};

} // namespace morvex

#endif
