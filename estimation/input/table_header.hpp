// A study table's header: which field holds which value, by the names people
// give their columns, and how the file separates its fields.
#ifndef MORVEX_ESTIMATION_TABLE_HEADER_HPP
#define MORVEX_ESTIMATION_TABLE_HEADER_HPP

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// A fault of the whole file (no header, a missing column, a broken quote):
// `line` is the 1-based line at fault.
class table_error : public std::runtime_error {
public:
    table_error(int line, const std::string& message) : std::runtime_error(message), line_(line) {}
    int line() const noexcept { return line_; }

private:
    int line_;
};

struct table_column {
    int index = -1;   // field position, -1 when the header lacks it
    std::string name; // as the header spells it
};

struct table_columns {
    table_column id, type, dose, cases, n, controls, rr, lb, ub, logrr, se, mean, sd, ref;
    bool log_scale = false;  // logrr and se rather than rr, lb and ub
    bool continuous = false; // mean, sd and n of each category rather than cases and risks
};

// Finds each column by its name or an accepted alias, in any letter case
// (study for id; or, hr, irr for rr; lower, ll, lci for lb; avg for mean;
// ...). A header with mean or sd and none of cases, rr, lb, ub and logrr is a
// table of means. Throws table_error when two columns serve one value the
// table uses or a needed one is missing.
table_columns find_columns(const std::vector<std::string>& header, int line);

// The field separator: a tab for a .tsv file; for a .csv file a comma, or a
// semicolon when the first non-blank line holds semicolons and no comma (as
// spreadsheets save with the decimal comma).
char table_separator(std::string_view content, bool tab);

// Whether the first non-blank line reads as a table's header: fields split by
// tabs, commas or semicolons, one of them named id or study. Empty when not;
// otherwise whether the tab separates.
std::optional<bool> table_header_line(std::string_view content);

} // namespace morvex

#endif
