// One row of a study table as the columns ask for it, and what a study's
// rows have given so far: shared by the readers of tables of cases and of
// means.
#ifndef MORVEX_ESTIMATION_TABLE_ROW_HPP
#define MORVEX_ESTIMATION_TABLE_ROW_HPP

#include "estimation/base/format.hpp"
#include "estimation/input/dose_range.hpp"
#include "estimation/input/number.hpp"
#include "estimation/input/table_file.hpp"
#include "estimation/input/table_records.hpp"
#include "estimation/input/table_study.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// Whether `text` is `word` (in lower case) in any letter case; no copy made.
inline bool is_word(std::string_view text, std::string_view word) {
    return text.size() == word.size() &&
           std::equal(text.begin(), text.end(), word.begin(), [](char c, char w) {
               return (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == w;
           });
}

// Empty and NA both mean "no value", as R and spreadsheets write it; `v` is
// trimmed.
inline bool is_missing_trimmed(std::string_view v) {
    return v.empty() ||
           (v.size() == 2 && (v[0] == 'N' || v[0] == 'n') && (v[1] == 'A' || v[1] == 'a'));
}

// A fault in one study's rows: it refuses that study only.
struct row_fault {
    int line;
    std::string column; // empty when no one column is at fault
    std::string message;
};

class table_file::study_reader {
public:
    // Trims the row's fields in place, once for all the reads of them.
    study_reader(std::vector<std::string_view>& fields, int line, bool decimal_comma)
        : fields_(fields), line_(line), decimal_comma_(decimal_comma) {
        for (std::string_view& field : fields) {
            field = trimmed(field);
        }
    }

    // Field `c` of the row, trimmed.
    std::string_view raw(const table_file::column& c) const {
        return static_cast<std::size_t>(c.index) < fields_.size()
                   ? fields_[static_cast<std::size_t>(c.index)]
                   : std::string_view();
    }

    // Whether field `c` is empty or NA.
    bool missing(const table_file::column& c) const { return is_missing_trimmed(raw(c)); }

    int line() const { return line_; }

    row_fault fault(const table_file::column& c, const std::string& message) const {
        return {line_, c.name, message};
    }

    double number(const table_file::column& c) const {
        const std::string_view text = raw(c);
        if (!decimal_comma_) {
            // Most values are plain numbers: one conversion, and no test for
            // a missing value, which never reads as a number.
            const parsed<double> value = parse_number(text);
            if (value.status == number_status::ok) {
                return value.value;
            }
        }
        if (is_missing_trimmed(text)) {
            throw fault(c, "missing value");
        }
        std::string decimal; // the text with a decimal comma made a point
        if (decimal_comma_) {
            decimal = text;
            // A full stop here may be a thousands separator (1.000): no guess.
            if (decimal.find('.') != std::string::npos) {
                throw fault(c, "a full stop in " + quoted(text) +
                                   " in a table with semicolons and decimal commas; write the "
                                   "decimal separator as a comma and no thousands separator");
            }
            std::replace(decimal.begin(), decimal.end(), ',', '.');
        }
        const parsed<double> value = parse_number(decimal_comma_ ? decimal : text);
        if (value.status == number_status::not_a_number) {
            throw fault(c, "expected a plain decimal number, got " + quoted(text) +
                               (!decimal_comma_ && text.find(',') != std::string_view::npos
                                    ? " (the decimal separator is a full stop; a table saved "
                                      "with decimal commas separates its fields with semicolons)"
                                    : ""));
        }
        if (value.status == number_status::out_of_range) {
            throw fault(c, quoted(text) + " cannot be represented as a double");
        }
        return value.value;
    }

    double positive(const table_file::column& c) const {
        const double value = number(c);
        if (!(value > 0.0)) {
            throw fault(c, "must be greater than 0, got " + quoted(raw(c)));
        }
        return value;
    }

private:
    const std::vector<std::string_view>& fields_;
    int line_;
    bool decimal_comma_;
};

// What a study's rows have given so far, as they are read in turn.
struct table_file::study_rows {
    study_rows(std::size_t row_count, int first) : none(row_count), first_line(first) {}

    std::size_t none;             // no reference found yet: the study's row count
    int first_line;               // of the study's first row
    std::size_t reference = none; // the reference category's place
    int reference_line = 0;
    study_design design = study_design::cohort;
    std::string first_type; // the first row's type, in lower case
    missing_counts missing;
    std::vector<ranged_dose> ranges;
    std::vector<row_fault> row_faults; // the faulty values of the row being read
};

// Runs `read_value`; a fault it throws is listed rather than ending the row:
// the values of a row are independent, so that one run shows everything to
// mend in it.
template <typename Read>
inline bool listed(std::vector<row_fault>& faults, Read&& read_value) {
    try {
        read_value();
        return true;
    } catch (const row_fault& f) {
        faults.push_back(f);
        return false;
    }
}

} // namespace morvex

#endif
