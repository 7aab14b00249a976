// Reading a study table: CSV or TSV in the long format, one row per category,
// rows grouped into studies by their id.
#ifndef MORVEX_ESTIMATION_TABLE_FILE_HPP
#define MORVEX_ESTIMATION_TABLE_FILE_HPP

#include "estimation/input/file_text.hpp"
#include "estimation/input/row_index.hpp"
#include "estimation/input/table_header.hpp"
#include "estimation/method/study.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morvex {

// Whether a file name ends in ".csv" or ".tsv" (any letter case).
bool is_table_name(std::string_view name);
// Whether it ends in ".tsv": a tab separates the fields rather than a comma.
bool is_tsv_name(std::string_view name);

// Whether a field means "no value": empty or NA, as R and spreadsheets write it.
bool is_missing_text(std::string_view value);

struct table_study;

// A table indexed by study. The content is kept and each study is read only
// when asked for, so that memory holds the text, an index of its rows and one
// study's record at a time.
class table_file {
public:
    // Throws table_error for a fault of the whole file, or for a text too large
    // to index (4 GiB or more). `tab` selects TSV.
    // `open_width` scales the half width that an open category (">=30") adds to its bound.
    // `threads` may share the indexing of a large table.
    table_file(file_text content, bool tab, double open_width = 1.0, unsigned threads = 1);
    table_file(std::string content, bool tab, double open_width = 1.0, unsigned threads = 1)
        : table_file(file_text(std::move(content)), tab, open_width, threads) {}

    std::size_t study_count() const { return index_.study_count(); }
    // Whether its header makes it a table of means (mean, sd, n) rather than of cases.
    bool continuous() const { return continuous_; }
    // The rows of the k-th study.
    std::size_t row_count(std::size_t k) const { return index_.row_count(k); }

    // The k-th study in order of first appearance, read and checked.
    table_study read(std::size_t k) const;
    // The same into `result`, whose storage serves again: a run that reads its
    // studies into one record allocates little per study. Threads may read
    // at once, each into its own record.
    void read(std::size_t k, table_study& result) const;

    // A study's value of a column that the estimation does not use (a label, a
    // grouping): trimmed, from its first row; `agree` tells whether every row of
    // the study gives the same. `column` is false when the header lacks it.
    struct field_value {
        bool column = false;
        bool agree = true;
        std::string value;
        // With `each_row`: every row's line and value, in the study's order.
        std::vector<std::pair<int, std::string>> rows;
    };
    // `name` is matched in any letter case.
    field_value field(std::size_t k, std::string_view name, bool each_row = false) const;

    using column = table_column;

    // A category's values as read, before the reference is known. A table
    // of means gives the mean, SD and size (in `total`).
    struct category {
        double dose, cases, total, L, lo, hi, v, mean, sd;
        int line;
        bool all_ones; // relative risk and both limits 1
        bool marked;   // a table of means marks it the reference in column ref
    };

private:
    class study_reader; // one row's fields, read as the columns ask
    struct study_rows;  // what a study's rows have given so far
    void read_columns(const table_columns& columns);
    void read_design(const study_reader& r, study_rows& rows) const;
    category read_category(const study_reader& r, int line, std::size_t index,
                           study_rows& rows) const;
    double read_dose(const study_reader& r, int line, study_rows& rows) const;
    void read_counts(const study_reader& r, category& c, study_rows& rows) const;
    void read_effect(const study_reader& r, category& c, std::size_t index, study_rows& rows) const;
    void read_mean(const study_reader& r, category& c, std::size_t index, study_rows& rows) const;
    std::size_t continuous_reference(std::vector<category>& categories, const study_rows& rows,
                                     std::vector<notice>& notes) const;

    std::string_view text() const { return content_.view(); }

    file_text content_;
    char separator_;
    std::size_t fields_ = 0;          // fields of the header
    std::vector<std::string> header_; // its names, trimmed, in lower case
    column id_, type_, dose_, cases_, n_, controls_, rr_, lb_, ub_, logrr_, se_, mean_, sd_, ref_;
    bool log_scale_ = false;     // logrr and se rather than rr, lb and ub
    bool continuous_ = false;    // mean, sd and n rather than cases and relative risks
    bool decimal_comma_ = false; // a semicolon table: 2,5 is two and a half
    double open_width_ = 1.0;
    row_index index_;
    // Space that field() uses again; field() is for one thread at a time.
    mutable std::vector<std::string_view> fields_read_;
};

// One study of a table: its record, or why it was refused.
struct table_study {
    std::string id;
    int first_line = 0;            // the line its first row starts on
    std::optional<study> data;     // empty when refused
    std::string message;           // "LINE: column NAME: study ID: ..." when refused
    std::vector<std::string> more; // the study's other faulty rows, in the same form

    // Space that table_file::read uses again from study to study; it is the
    // record's, not the table's, so that several threads read one table.
    std::vector<table_file::category> categories;
    std::vector<std::string_view> fields;
    std::vector<int> lines;
};

} // namespace morvex

#endif
