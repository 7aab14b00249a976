#include "estimation/input/table_file.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"
#include "estimation/input/dose_range.hpp"
#include "estimation/input/number.hpp"
#include "estimation/input/setting_file.hpp"
#include "estimation/input/table_index.hpp"
#include "estimation/input/table_records.hpp"
#include "estimation/input/table_row.hpp"
#include "estimation/input/table_study.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace morvex {
namespace {

std::string lower(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return result;
}

bool is_blank(const std::vector<std::string_view>& fields) {
    return std::all_of(fields.begin(), fields.end(),
                       [](std::string_view f) { return trimmed(f).empty(); });
}

bool is_missing(std::string_view value) {
    return is_missing_trimmed(trimmed(value));
}

study_design design_of(std::string_view type, bool& known) {
    const std::string_view t = trimmed(type);
    known = true;
    if (is_word(t, "cc")) {
        return study_design::case_control;
    }
    if (is_word(t, "ir")) {
        return study_design::incidence_rate;
    }
    known = is_word(t, "ci");
    return study_design::cohort;
}

// Every row has the header's fields. A long row has a separator too many; a
// short one may have lost any field, so neither can be read safely.
void check_field_count(std::size_t found, std::size_t header, char separator, int line) {
    if (found == header) {
        return;
    }
    std::string message =
        "the row has " + std::to_string(found) + " fields, the header " + std::to_string(header);
    if (found > header) {
        message += " (a decimal comma, or a comma inside an unquoted value?)";
    } else {
        message += std::string("; a short row cannot tell which field is missing: give every "
                               "field, writing an empty one as nothing between separators (") +
                   (separator == ',' ? ",," : "two tabs") + "), trailing ones included";
    }
    throw row_fault{line, "", message};
}

// "LINE: column NAME: study ID: MESSAGE", as a refused study's message.
std::string fault_text(const row_fault& f, const std::string& id) {
    return std::to_string(f.line) + ": " +
           (f.column.empty() ? "" : "column " + printable(f.column) + ": ") + "study " +
           printable(id) + ": " + f.message;
}

// A row of a study, as read.
struct row_ref {
    std::size_t offset;
    int line;
};

// A refused study lists at most this many faulty rows.
constexpr std::size_t max_faults = 20;

using category = table_file::category;

// `ref` or `reference`, in any letter case, in the relative-risk column.
bool is_reference_word(std::string_view value) {
    const std::string_view v = trimmed(value);
    return is_word(v, "ref") || is_word(v, "reference");
}

// A field that reads as the number 0 (logrr 0 with se 0 marks a reference).
bool is_zero(std::string_view value) {
    const parsed<double> p = parse_number(trimmed(value));
    return p.status == number_status::ok && p.value == 0.0;
}

} // namespace

bool is_missing_text(std::string_view value) {
    return is_missing(value);
}

bool is_table_name(std::string_view name) {
    if (name.size() < 4) {
        return false;
    }
    const std::string ext = lower(name.substr(name.size() - 4));
    return ext == ".csv" || ext == ".tsv";
}

bool is_tsv_name(std::string_view name) {
    return is_table_name(name) && lower(name.substr(name.size() - 4)) == ".tsv";
}

table_file::table_file(file_text content, bool tab, double open_width, unsigned threads)
    : content_(std::move(content)), separator_(table_separator(content_.view(), tab)),
      decimal_comma_(separator_ == ';'), open_width_(open_width) {
    if (text().size() > row_index::max_text) {
        throw table_error(1, "the table holds 4 GiB or more, more than one run can index; "
                             "split its studies into several tables and give them all");
    }
    std::size_t start = 0;
    if (text().substr(0, 3) == "\xEF\xBB\xBF") {
        start = 3; // a UTF-8 byte-order mark, as spreadsheets write one
    }
    record_reader in(text(), separator_, start, 1);
    std::vector<std::string_view> fields;
    // Blank lines before the header are skipped like any other.
    int header_line = 1;
    do {
        if (in.at_end()) {
            throw table_error(in.line(), "the table has no header row; its first row names the "
                                         "columns id, type, dose, cases, n (or controls) and "
                                         "rr, lb, ub (or logrr, se)");
        }
        header_line = in.line();
        in.next(fields);
    } while (is_blank(fields));
    fields_ = fields.size();
    std::transform(fields.begin(), fields.end(), std::back_inserter(header_),
                   [](std::string_view f) { return lower(trimmed(f)); });
    read_columns(find_columns(std::vector<std::string>(fields.begin(), fields.end()), header_line));
    index_ = index_table_rows(text(), separator_, static_cast<std::size_t>(id_.index),
                              {in.position(), in.line()}, threads);
}

void table_file::read_columns(const table_columns& columns) {
    id_ = columns.id;
    type_ = columns.type;
    dose_ = columns.dose;
    cases_ = columns.cases;
    n_ = columns.n;
    controls_ = columns.controls;
    rr_ = columns.rr;
    lb_ = columns.lb;
    ub_ = columns.ub;
    logrr_ = columns.logrr;
    se_ = columns.se;
    mean_ = columns.mean;
    sd_ = columns.sd;
    ref_ = columns.ref;
    log_scale_ = columns.log_scale;
    continuous_ = columns.continuous;
}

table_file::field_value table_file::field(std::size_t k, std::string_view name,
                                          bool each_row) const {
    field_value result;
    const auto found = std::find(header_.begin(), header_.end(), lower(trimmed(name)));
    if (found == header_.end()) {
        return result;
    }
    result.column = true;
    const auto index = static_cast<std::size_t>(found - header_.begin());
    std::vector<std::string_view>& fields = fields_read_;
    bool first = true;
    for (std::uint32_t at = index_.first(k); at != row_index::none; at = index_.at(at).next) {
        const row_index::row& row = index_.at(at);
        record_reader in(text(), separator_, row.offset, static_cast<int>(row.line));
        bool blank = false;
        const std::string_view value = trimmed(in.next_field(index, blank, fields));
        if (each_row) {
            result.rows.emplace_back(static_cast<int>(row.line), std::string(value));
        }
        if (first) {
            result.value = std::string(value);
            first = false;
        } else if (value != result.value) {
            result.agree = false;
        }
    }
    return result;
}

// The design is the first row's; every other row must agree.
void table_file::read_design(const study_reader& r, study_rows& rows) const {
    const std::string_view type = r.raw(type_);
    if (r.missing(type_)) {
        // No design, so no count-based covariance: the run refuses the study
        // once, or analyses it as independent, as a study without counts.
        rows.missing.types.push_back(r.line());
        return;
    }
    bool known = false;
    const study_design row_design = design_of(type, known);
    if (!known) {
        throw r.fault(type_, "expected cc (case-control), ci (cohort, persons) or ir "
                             "(incidence rate, person-time), got " +
                                 quoted(type));
    }
    if (rows.first_type.empty()) {
        rows.first_type = lower(type);
        rows.design = row_design;
    } else if (row_design != rows.design) {
        throw r.fault(type_, "the study mixes types: " + quoted(type) + " here, " +
                                 quoted(rows.first_type) + " on line " +
                                 std::to_string(rows.first_line));
    }
}

double table_file::read_dose(const study_reader& r, int line, study_rows& rows) const {
    // Most doses are plain numbers: those are converted once.
    const parsed<double> plain = decimal_comma_ ? parsed<double>{number_status::not_a_number, 0.0}
                                                : parse_number(r.raw(dose_));
    if (plain.status == number_status::ok) {
        return plain.value;
    }
    std::string dose_text(r.raw(dose_));
    if (decimal_comma_) {
        std::replace(dose_text.begin(), dose_text.end(), ',', '.');
    }
    if (!is_missing(dose_text) && parse_number(dose_text).status == number_status::not_a_number &&
        looks_like_range(dose_text)) {
        const std::optional<dose_range> range = parse_dose_range(dose_text);
        if (!range) {
            throw r.fault(dose_, "the range " + quoted(r.raw(dose_)) +
                                     " cannot be read (write a-b with 0 <= a < b, <b, "
                                     ">=a or a+); give the category's assigned dose");
        }
        rows.ranges.push_back({line, std::string(r.raw(dose_)), *range});
        return not_computed;
    }
    return r.number(dose_);
}

// The cases and the total (or the controls that give it), each missing one
// noted for the study's covariance.
void table_file::read_counts(const study_reader& r, category& c, study_rows& rows) const {
    if (rows.first_type.empty()) {
        // No type so far: counts that are given are kept, but without a design
        // neither a total nor its relation to the cases can be checked.
        listed(rows.row_faults,
               [&] { c.cases = r.missing(cases_) ? not_computed : r.positive(cases_); });
        listed(rows.row_faults,
               [&] { c.total = n_.index < 0 || r.missing(n_) ? not_computed : r.positive(n_); });
        return;
    }
    const study_design design = rows.design;
    const bool no_cases = r.missing(cases_);
    const bool cases_read =
        listed(rows.row_faults, [&] { c.cases = no_cases ? not_computed : r.positive(cases_); });
    const bool use_controls = design == study_design::case_control && controls_.index >= 0 &&
                              (n_.index < 0 || r.missing(n_));
    const bool no_total = use_controls ? r.missing(controls_) : n_.index >= 0 && r.missing(n_);
    if (no_cases) {
        rows.missing.cases.push_back(c.line);
    }
    if (no_total) {
        rows.missing.totals.push_back(c.line);
    }
    listed(rows.row_faults, [&] {
        if (design != study_design::case_control && controls_.index >= 0 && !r.missing(controls_)) {
            throw r.fault(controls_,
                          "only a case-control study may give controls; leave "
                          "the field empty or NA in this " +
                              std::string(design == study_design::cohort ? "cohort (ci)"
                                                                         : "incidence-rate (ir)") +
                              " study, whose total is n");
        }
    });
    listed(rows.row_faults, [&] {
        if (no_total) {
            c.total = not_computed;
        } else if (use_controls) {
            c.total = c.cases + r.positive(controls_);
        } else if (n_.index < 0) {
            throw r.fault(controls_, "only a case-control study may give controls "
                                     "instead of the total n");
        } else if (design == study_design::incidence_rate) {
            c.total = r.positive(n_); // person-time may be below the cases
        } else {
            c.total = r.number(n_);
            if (cases_read && !no_cases && !(c.total > c.cases)) {
                throw r.fault(n_, "the total must be greater than the number of cases (" +
                                      std::string(r.raw(cases_)) + "), got " + quoted(r.raw(n_)));
            }
        }
    });
}

// A reference row (marked, or without limits) becomes category `index` of the
// study; any other row gives its log relative risk and variance.
void table_file::read_effect(const study_reader& r, category& c, std::size_t index,
                             study_rows& rows) const {
    const table_file::column& spread = log_scale_ ? se_ : lb_;
    const bool marked =
        log_scale_ ? is_zero(r.raw(logrr_)) && is_zero(r.raw(se_)) : is_reference_word(r.raw(rr_));
    const bool is_reference = marked || (r.missing(spread) && (log_scale_ || r.missing(ub_)));
    if (is_reference) {
        if (rows.reference != rows.none) {
            throw r.fault(spread, "a second reference row (empty limits); the first is on line " +
                                      std::to_string(rows.reference_line) +
                                      ", and a study has exactly one");
        }
        const table_file::column& effect = log_scale_ ? logrr_ : rr_;
        const std::string_view e = r.raw(effect);
        if (!marked && !r.missing(effect) && r.number(effect) != (log_scale_ ? 0.0 : 1.0)) {
            throw r.fault(effect, std::string("the reference row's ") +
                                      (log_scale_ ? "log relative risk must be empty, NA or 0"
                                                  : "relative risk must be empty, NA or 1") +
                                      ", got " + quoted(e));
        }
        rows.reference = index;
        rows.reference_line = c.line;
    } else if (log_scale_) {
        double se = 0.0;
        listed(rows.row_faults, [&] { c.L = r.number(logrr_); });
        listed(rows.row_faults, [&] { se = r.positive(se_); });
        c.v = se * se;
        c.lo = c.L - 1.96 * se;
        c.hi = c.L + 1.96 * se;
    } else {
        listed(rows.row_faults, [&] { c.L = elem::log(r.positive(rr_)); });
        listed(rows.row_faults, [&] { c.lo = elem::log(r.positive(lb_)); });
        listed(rows.row_faults, [&] { c.hi = elem::log(r.positive(ub_)); });
        c.v = variance_from_limits(c.lo, c.hi);
        c.all_ones = c.L == 0.0 && c.lo == 0.0 && c.hi == 0.0;
    }
}

// Row `line` of a study as category `index`; its faulty values are listed in
// `rows.row_faults`, and a fault that ends the row is thrown.
table_file::category table_file::read_category(const study_reader& r, int line, std::size_t index,
                                               study_rows& rows) const {
    category c{};
    c.line = line;
    listed(rows.row_faults, [&] { c.dose = read_dose(r, line, rows); });
    if (continuous_) {
        read_mean(r, c, index, rows);
        return c;
    }
    read_counts(r, c, rows);
    read_effect(r, c, index, rows);
    return c;
}

table_study table_file::read(std::size_t k) const {
    table_study result;
    read(k, result);
    return result;
}

void table_file::read(std::size_t k, table_study& result) const {
    const std::size_t rows_read = index_.row_count(k);
    result.id = index_.id(k);
    result.first_line = static_cast<int>(index_.at(index_.first(k)).line);
    result.message.clear();
    result.more.clear();
    const std::string& id = result.id;
    try {
        std::vector<category>& categories = result.categories;
        categories.clear();
        study_rows rows{rows_read, result.first_line};
        std::vector<std::string_view>& fields = result.fields;
        std::vector<row_fault> faults; // every faulty row, so that one run shows them all
        for (std::uint32_t at = index_.first(k); at != row_index::none; at = index_.at(at).next) {
            const row_ref row{index_.at(at).offset, static_cast<int>(index_.at(at).line)};
            try {
                record_reader in(text(), separator_, row.offset, row.line);
                in.next(fields);
                const study_reader r(fields, row.line, decimal_comma_);
                check_field_count(fields.size(), fields_, separator_, row.line);
                if (id.empty()) {
                    throw row_fault{row.line, id_.name,
                                    "missing value: every row needs the id of its study"};
                }
                if (!continuous_) {
                    read_design(r, rows); // a table of means has no design
                }
                rows.row_faults.clear();
                const category c = read_category(r, row.line, categories.size(), rows);
                if (!rows.row_faults.empty()) {
                    const std::vector<row_fault>& field_faults = rows.row_faults;
                    const std::size_t room = max_faults - faults.size();
                    faults.insert(faults.end(), field_faults.begin(),
                                  field_faults.begin() + static_cast<std::ptrdiff_t>(
                                                             std::min(room, field_faults.size())));
                    if (faults.size() == max_faults) {
                        break;
                    }
                    continue;
                }
                categories.push_back(c);
            } catch (const row_fault& f) {
                faults.push_back(f);
                if (id.empty() || faults.size() == max_faults) {
                    break;
                }
            }
        }
        for (std::size_t more = 1; more < faults.size(); ++more) {
            result.more.push_back(fault_text(faults[more], id));
        }
        if (!faults.empty()) {
            throw faults.front();
        }
        std::size_t reference = rows.reference;
        const missing_counts& missing = rows.missing;
        const study_design design = rows.design;
        const int line = result.first_line;
        const std::vector<dose_assignment> assigned = assign_doses(rows.ranges, open_width_);
        for (category& c : categories) {
            for (const dose_assignment& a : assigned) {
                c.dose = a.line == c.line ? a.dose : c.dose;
            }
        }
        std::vector<notice> notes; // how a table of means' reference was found
        if (continuous_ && categories.size() >= static_cast<std::size_t>(min_categories)) {
            reference = continuous_reference(categories, rows, notes);
        }
        // Relative risk and limits all 1 mark the reference when nothing else does.
        if (reference == rows_read && !continuous_) {
            reference = reference_of_ones(categories, rows_read);
        }
        if (reference == rows_read && !continuous_) {
            throw row_fault{line, log_scale_ ? se_.name : lb_.name,
                            "no reference row: exactly one row of a study leaves its limits "
                            "(or se) empty or NA"};
        }
        if (categories.size() < static_cast<std::size_t>(min_categories) ||
            categories.size() > static_cast<std::size_t>(max_categories)) {
            throw row_fault{line, "",
                            "a study needs from " + std::to_string(min_categories) + " to " +
                                std::to_string(max_categories) +
                                " rows (the reference included), found " +
                                std::to_string(categories.size())};
        }

        study& s = result.data ? *result.data : result.data.emplace();
        std::vector<int>& lines = result.lines; // of categories 0..n, for the notices
        fill_study(s, categories, reference, design, id, line, lines);
        if (decimal_comma_) {
            s.convention = "semicolon separators, decimal comma";
        }
        if (continuous_) {
            s.measure = outcome_measure::mean_difference; // the run may ask for the SMD
        } else {
            s.design_known = !rows.first_type.empty();
            s.missing_counts =
                missing.text(cases_.name, n_.index >= 0 ? n_.name : controls_.name, type_.name);
            s.missing_counts_line = missing.first_line();
        }
        add_study_notices(s, id, lines, assigned);
        for (notice& note : notes) {
            note.message = "study " + printable(id) + ": " + note.message;
            s.warnings.insert(s.warnings.begin(), std::move(note));
        }
    } catch (const table_error& e) {
        result.data.reset();
        result.message = std::to_string(e.line()) + ": study " + printable(id) + ": " + e.what();
    } catch (const row_fault& f) {
        result.data.reset();
        result.message = fault_text(f, id);
    }
}

} // namespace morvex
