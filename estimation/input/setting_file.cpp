#include "estimation/input/setting_file.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"
#include "estimation/input/input_checks.hpp"
#include "estimation/input/number.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <vector>

namespace morvex {
namespace {

constexpr int line_count = 9;
using lines = std::array<std::string_view, line_count>;

lines split_lines(std::string_view content) {
    lines result;
    std::size_t pos = 0;
    for (int k = 0; k < line_count; ++k) {
        // A line exists only if the file holds at least one more character.
        if (pos >= content.size()) {
            throw truncated_setting_file(k);
        }
        // LF, CRLF, or a lone CR as older spreadsheet programs write it.
        const std::size_t end = std::min(content.find_first_of("\r\n", pos), content.size());
        std::size_t next = end + 1;
        if (end + 1 < content.size() && content[end] == '\r' && content[end + 1] == '\n') {
            ++next;
        }
        const std::string_view line = content.substr(pos, end - pos);
        if (line.find('\0') != std::string_view::npos) {
            throw setting_error(k + 1, "the line holds a NUL byte; a setting file is plain text");
        }
        result[k] = line;
        pos = next;
    }
    return result;
}

std::vector<std::string_view> split_values(std::string_view line) {
    std::vector<std::string_view> tokens;
    std::size_t pos = 0;
    while (pos < line.size()) {
        if (line[pos] == ' ') {
            ++pos;
            continue;
        }
        const std::size_t end = std::min(line.find(' ', pos), line.size());
        tokens.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return tokens;
}

// Why a value line seems to hold fewer values than it does.
std::string separator_hint(std::string_view line) {
    if (line.empty()) {
        return " (the line is empty)";
    }
    if (line.find('\t') != std::string_view::npos) {
        return " (values are separated by spaces; a tab does not separate them)";
    }
    if (line.find(';') != std::string_view::npos) {
        return " (values are separated by spaces; a semicolon does not separate them)";
    }
    if (line.find(',') != std::string_view::npos) {
        return " (values are separated by spaces; a comma does not separate them, and the "
               "decimal separator is a full stop)";
    }
    return "";
}

// What each value line holds, in the words of the messages.
struct value_line {
    int number;
    const char* plural; // for the count of values
    const char* single; // for one category's value
};

constexpr value_line cases_line{4, "numbers of cases", "number of cases"};
constexpr value_line totals_line{5, "totals", "total"};
constexpr value_line doses_line{6, "doses", "dose"};
constexpr value_line rr_line{7, "relative risks", "relative risk"};
constexpr value_line lower_line{8, "lower limits", "lower limit"};
constexpr value_line upper_line{9, "upper limits", "upper limit"};

class reader {
public:
    reader(const lines& text, int n, std::vector<notice>& warnings)
        : text_(text), n_(n), warnings_(warnings) {}

    // The n + 1 tokens of a value line; values after them are ignored.
    std::vector<std::string_view> tokens(const value_line& line) const {
        const std::string_view text = text_[line.number - 1];
        std::vector<std::string_view> values = split_values(text);
        const auto needed = static_cast<std::size_t>(n_) + 1;
        if (values.size() < needed) {
            throw setting_error(
                line.number, "expected " + std::to_string(needed) + " " + line.plural +
                                 ", one for each category from 0 to " + std::to_string(n_) +
                                 ", found " + std::to_string(values.size()) + separator_hint(text));
        }
        if (values.size() > needed) {
            warn(line.number,
                 "found " + std::to_string(values.size()) + " " + line.plural +
                     " where line 3 declares " + std::to_string(needed) +
                     " categories; the values after category " + std::to_string(n_) +
                     " are ignored; if line 3 counts only the exposed categories, add 1 for "
                     "the reference");
        }
        values.resize(needed);
        return values;
    }

    void warn(int line, std::string message) const {
        warnings_.push_back({line, std::move(message)});
    }

    static double convert(const value_line& line, int category, std::string_view token) {
        const parsed<double> value = parse_number(token);
        if (value.status == number_status::not_a_number) {
            const bool separator = token.find_first_of(",;") != std::string_view::npos;
            throw value_error(line, category, "is not a number", token,
                              separator ? " (values are separated by spaces, with a full stop as "
                                          "the decimal separator)"
                                        : "");
        }
        if (value.status == number_status::out_of_range) {
            throw value_error(line, category,
                              "cannot be represented as a double (too large or too small)", token);
        }
        return value.value;
    }

    static void require_positive(const value_line& line, int category, std::string_view token,
                                 double value) {
        if (!(value > 0.0)) {
            throw value_error(line, category, "must be greater than 0", token);
        }
    }

    // "<value> of category <i> <problem>, got "<token>"".
    static setting_error value_error(const value_line& line, int category, const char* problem,
                                     std::string_view token, const char* hint = "") {
        return {line.number, std::string(line.single) + " of category " + std::to_string(category) +
                                 " " + problem + ", got " + quoted(token) + hint};
    }

private:
    const lines& text_;
    int n_;
    std::vector<notice>& warnings_;
};

int category_count(std::string_view line3) {
    std::string_view text;
    const parsed<long long> count = parse_leading_integer(line3, text);
    if (count.status == number_status::not_a_number) {
        throw setting_error(3, "expected the number of categories at the start of the line, got " +
                                   quoted(line3) + separator_hint(line3));
    }
    if (count.status == number_status::out_of_range || count.value < min_categories ||
        count.value > max_categories) {
        throw setting_error(3, "the number of categories, reference included, must be from " +
                                   std::to_string(min_categories) + " to " +
                                   std::to_string(max_categories) + ", got " + quoted(text));
    }
    return static_cast<int>(count.value);
}

// Lines 4 and 5: cases and totals, reference category included.
void read_counts(const reader& in, study& s) {
    const auto cases = in.tokens(cases_line);
    std::vector<double> a(cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const int category = static_cast<int>(i);
        a[i] = reader::convert(cases_line, category, cases[i]);
        reader::require_positive(cases_line, category, cases[i], a[i]);
    }
    const auto totals = in.tokens(totals_line);
    for (std::size_t i = 0; i < totals.size(); ++i) {
        const int category = static_cast<int>(i);
        const double total = reader::convert(totals_line, category, totals[i]);
        // Person-time is a measure of its own, not a head count: it may be
        // smaller than the number of cases (thousands of person-years).
        if (s.design == study_design::incidence_rate) {
            reader::require_positive(totals_line, category, totals[i], total);
        } else if (!(total > a[i])) {
            throw setting_error(totals_line.number,
                                "total of category " + std::to_string(category) +
                                    " must be greater than its number of cases (" +
                                    std::string(cases[i]) + "), got " + quoted(totals[i]));
        }
        if (i == 0) {
            s.N0 = total;
        } else {
            s.N(i - 1, 0) = total;
        }
    }
    // M1 is summed in file order, the reference first.
    s.A0 = a[0];
    s.M1 = a[0];
    for (std::size_t i = 1; i < a.size(); ++i) {
        s.A(i - 1, 0) = a[i];
        s.M1 += a[i];
    }
}

// Lines 6 to 9: the reference category's token only holds its place; it is
// returned for the checks.
std::string_view read_exposed(const reader& in, const value_line& line, bool positive,
                              bool take_log, Matrix& target) {
    const auto tokens = in.tokens(line);
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        const int category = static_cast<int>(i);
        const double value = reader::convert(line, category, tokens[i]);
        if (positive) {
            reader::require_positive(line, category, tokens[i], value);
        }
        target(i - 1, 0) = take_log ? elem::log(value) : value;
    }
    return tokens[0];
}

// The reference's dose and relative risk are never read, so a number other
// than 0 or 1 there suggests that the others are not relative to it. A word
// such as "ref" holds the place as well as a number does.
void check_reference(const reader& in, std::string_view dose, std::string_view rr) {
    const parsed<double> d = parse_number(dose);
    if (d.status == number_status::ok && d.value != 0.0) {
        in.warn(doses_line.number,
                "dose of the reference category is " + std::string(dose) +
                    ", not 0; it only holds a place and the other doses are used as given; "
                    "if they are absolute, subtract the reference dose from each");
    }
    const parsed<double> r = parse_number(rr);
    if (r.status == number_status::ok && r.value != 1.0) {
        in.warn(rr_line.number,
                "relative risk of the reference category is " + std::string(rr) +
                    ", not 1; it only holds a place and the other relative risks are used as "
                    "given; they must be relative to the reference category");
    }
}

bool is_case_control_code(std::string_view text) {
    auto is_c = [](char c) { return c == 'C' || c == 'c'; };
    return text.size() >= 2 && is_c(text[0]) && is_c(text[1]);
}

// For a case-control study only the first two characters count: stored files
// rely on it. An incidence-rate study needs IR as a word of its own, so that a
// title-like "Iranian cohort" stays a cohort study.
study_design design_of(std::string_view line2) {
    auto is = [&line2](std::size_t k, char upper) {
        return line2.size() > k && (line2[k] == upper || line2[k] == upper - 'A' + 'a');
    };
    if (is_case_control_code(line2)) {
        return study_design::case_control;
    }
    if (is(0, 'I') && is(1, 'R') && (line2.size() == 2 || line2[2] == ' ' || line2[2] == '\t')) {
        return study_design::incidence_rate;
    }
    return study_design::cohort;
}

// A line 2 that names a case-control study in other words, or with CC later
// in the line, is analysed as a cohort study; the user rarely means that.
bool reads_like_case_control(std::string_view line2) {
    std::vector<std::string> tokens(1);
    for (const char c : line2) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
            tokens.back() += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (!tokens.back().empty()) {
            tokens.emplace_back();
        }
    }
    if (tokens.front() == "ir") {
        return false; // an incidence-rate study
    }
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string& w = tokens[i];
        const bool control_next = i + 1 < tokens.size() && tokens[i + 1].rfind("control", 0) == 0;
        if (w == "cc" || w.rfind("casecontrol", 0) == 0 || (w == "case" && control_next)) {
            return true;
        }
    }
    return false;
}

} // namespace

truncated_setting_file::truncated_setting_file(int lines_read)
    : std::runtime_error((lines_read == 0
                              ? std::string("the file is empty")
                              : "the file ends after line " + std::to_string(lines_read)) +
                         "; a setting file has nine lines: title, design, number of categories, "
                         "cases, totals, doses, relative risks, lower limits, upper limits"),
      lines_read_(lines_read) {}

study parse_setting_file(std::string_view content) {
    const lines text = split_lines(content);
    study s;
    s.title = std::string(text[0]);
    s.design = design_of(text[1]);
    if (s.design == study_design::cohort && reads_like_case_control(text[1])) {
        s.warnings.push_back(
            {2, "the design line " + quoted(text[1]) +
                    " reads like a case-control study but does not start with CC, so the study "
                    "is analysed as a cohort study; to select case-control, start line 2 with "
                    "CC"});
    }
    s.n = category_count(text[2]) - 1;
    const auto n = static_cast<Matrix::size_type>(s.n);
    s.N = Matrix(n, 1);
    s.x = Matrix(n, 1);
    s.A = Matrix(n, 1);
    s.L = Matrix(n, 1);
    s.lo = Matrix(n, 1);
    s.hi = Matrix(n, 1);
    s.v = Matrix(n, 1);

    const reader in(text, s.n, s.warnings);
    read_counts(in, s);
    const std::string_view reference_dose = read_exposed(in, doses_line, false, false, s.x);
    const std::string_view reference_rr = read_exposed(in, rr_line, true, true, s.L);
    read_exposed(in, lower_line, true, true, s.lo);
    read_exposed(in, upper_line, true, true, s.hi);
    check_reference(in, reference_dose, reference_rr);
    s.dose = s.x; // the reference's dose is taken as 0, so these are the doses as given

    for (Matrix::size_type i = 0; i < n; ++i) {
        s.v(i, 0) = variance_from_limits(s.lo(i, 0), s.hi(i, 0));
    }

    const std::vector<notice> slips = check_values(s, [](study_value value, int) {
        switch (value) {
        case study_value::dose:
            return doses_line.number;
        case study_value::relative_risk:
            return rr_line.number;
        case study_value::lower_limit:
            return lower_line.number;
        case study_value::upper_limit:
        case study_value::size: // a setting file holds no means
            break;
        }
        return upper_line.number;
    });
    s.warnings.insert(s.warnings.end(), slips.begin(), slips.end());
    std::stable_sort(s.warnings.begin(), s.warnings.end(),
                     [](const notice& a, const notice& b) { return a.line < b.line; });
    return s;
}

} // namespace morvex
