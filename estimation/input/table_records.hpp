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

// A field without the spaces and tabs around it. Inline: a table's every
// field is trimmed, most of them with nothing to remove.
inline std::string_view trimmed(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

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
    // A field is a view into the text, without its quotes; only one that
    // doubles a quote inside is copied, undoubled, into the reader. The views
    // last until the next call or the reader's end.
    void next(std::vector<std::string_view>& fields);

    // Reads the next record for its field number `index` alone (empty when the
    // record has fewer fields), and tells whether every field holds nothing but
    // spaces and tabs. A record without quotes is not split beyond that field;
    // any other is read by next() into `fields`. Faults as next().
    std::string_view next_field(std::size_t index, bool& blank,
                                std::vector<std::string_view>& fields);

    // Whether a field of the last record is a copy in the reader rather than
    // a view into the text.
    bool is_copy(std::string_view field) const;

private:
    // The text of quoted field number `field`, from pos_ just past its opening
    // quote to past its closing one. With doubled quotes it is undoubled into
    // copies_ and its view made at the end of the record.
    std::string_view quoted_field(int record_line, std::size_t field);
    // The first separator or line end at or after `from`, or the text's end.
    std::size_t field_end(std::size_t from) const;
    // The first line end at or after pos_, or the text's end; npos when a
    // quote comes first.
    std::size_t plain_line_end() const;
    // Past the line end at `end`, if any, onto the next line.
    void end_record(std::size_t end);

    std::string_view text_;
    char sep_;
    std::size_t pos_;
    int line_;
    std::string copies_; // the undoubled fields of the record, one after another
    struct copy {
        std::size_t field, at, size;
    };
    std::vector<copy> copied_; // where they are, to make their views once copies_ is full
};

} // namespace morvex

#endif
