// The rows of a table of means: each category's mean, SD and size, and its
// reference, marked or the smallest dose.
#include "estimation/input/table_row.hpp"

#include <algorithm>
#include <iterator>
#include <optional>

namespace morvex {
namespace {

// Whether a table of means' ref field marks its row the reference: ref,
// reference, 1, yes or true (any case) do; nothing, NA, 0, no and false do
// not. Empty when it is none of these.
std::optional<bool> reference_mark(std::string_view value) {
    const std::string_view v = trimmed(value);
    const char* const marks[] = {"ref", "reference", "1", "yes", "true"};
    if (std::any_of(std::begin(marks), std::end(marks),
                    [v](const char* mark) { return is_word(v, mark); })) {
        return true;
    }
    if (is_missing_trimmed(v) || is_word(v, "0") || is_word(v, "no") || is_word(v, "false")) {
        return false;
    }
    return std::nullopt;
}

} // namespace

// A table of means' row: its mean, SD and size, and whether column ref marks
// it as the reference (category `index`).
void table_file::read_mean(const study_reader& r, category& c, std::size_t index,
                           study_rows& rows) const {
    listed(rows.row_faults, [&] { c.mean = r.number(mean_); });
    listed(rows.row_faults, [&] { c.sd = r.positive(sd_); });
    listed(rows.row_faults, [&] {
        c.total = r.number(n_);
        if (!(c.total >= 2.0)) {
            throw r.fault(n_, "a group's size must be at least 2 (its SD needs two people), got " +
                                  quoted(r.raw(n_)));
        }
    });
    listed(rows.row_faults, [&] {
        const std::optional<bool> mark = ref_.index >= 0 ? reference_mark(r.raw(ref_)) : false;
        if (!mark) {
            throw r.fault(ref_, "expected ref (or 1, yes, true) to mark the reference row, or "
                                "nothing (or NA, 0, no, false); got " +
                                    quoted(r.raw(ref_)));
        }
        c.marked = *mark;
        if (c.marked && rows.reference != rows.none) {
            throw r.fault(ref_, "a second row marked as the reference; the first is on line " +
                                    std::to_string(rows.reference_line) +
                                    ", and a study has exactly one");
        }
        if (c.marked) {
            rows.reference = index;
            rows.reference_line = c.line;
        }
    });
}

// A table of means' reference: the row marked in column ref, else the one
// with the smallest dose, which a note then names.
std::size_t table_file::continuous_reference(std::vector<category>& categories,
                                             const study_rows& rows,
                                             std::vector<notice>& notes) const {
    if (rows.reference != rows.none) {
        return rows.reference;
    }
    const auto smallest =
        std::min_element(categories.begin(), categories.end(),
                         [](const category& a, const category& b) { return a.dose < b.dose; });
    const auto ties = std::count_if(categories.begin(), categories.end(),
                                    [&](const category& c) { return c.dose == smallest->dose; });
    if (ties > 1) {
        throw row_fault{rows.first_line, ref_.index >= 0 ? ref_.name : dose_.name,
                        std::to_string(ties) + " rows share the smallest dose, " +
                            shortest(smallest->dose) +
                            ", and none is marked as the reference: mark it with ref in a "
                            "column named ref"};
    }
    notes.push_back({smallest->line,
                     "the row with the smallest dose, " + shortest(smallest->dose) +
                         ", is taken as the reference (no row is marked ref in a column named "
                         "ref)",
                     true});
    return static_cast<std::size_t>(smallest - categories.begin());
}

} // namespace morvex
