#include "estimation/setting_file.hpp"

#include "estimation/format.hpp"
#include "estimation/number.hpp"

#include <array>
#include <cmath>
#include <fstream>
#include <sstream>
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
            throw truncated_setting_file();
        }
        std::size_t end = content.find('\n', pos);
        const std::size_t next = end == std::string_view::npos ? content.size() : end + 1;
        if (end == std::string_view::npos) {
            end = content.size();
        }
        std::string_view line = content.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1); // part of a Windows line end
        }
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

// Control characters are shown escaped, so that a tab or a stray byte in the
// quoted text is visible in the message.
std::string quoted(std::string_view text) {
    std::string result = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\t') {
            result += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            result += format("\\x%02x", byte);
        } else {
            result += c;
        }
    }
    return result + "\"";
}

std::string tab_hint(std::string_view line) {
    return line.find('\t') == std::string_view::npos
               ? ""
               : " (values are separated by spaces; a tab does not separate them)";
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
    reader(const lines& text, int n) : text_(text), n_(n) {}

    // The n + 1 tokens of a value line; values after them are ignored.
    std::vector<std::string_view> tokens(const value_line& line) const {
        std::vector<std::string_view> values = split_values(text_[line.number - 1]);
        const auto needed = static_cast<std::size_t>(n_) + 1;
        if (values.size() < needed) {
            throw setting_error(line.number,
                                "expected " + std::to_string(needed) + " " + line.plural +
                                    ", one for each category from 0 to " + std::to_string(n_) +
                                    ", found " + std::to_string(values.size()) +
                                    tab_hint(text_[line.number - 1]));
        }
        values.resize(needed);
        return values;
    }

    static double convert(const value_line& line, int category, std::string_view token) {
        const parsed<double> value = parse_number(token);
        if (value.status == number_status::not_a_number) {
            throw value_error(line, category, "is not a number", token);
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
                                     std::string_view token) {
        return {line.number, std::string(line.single) + " of category " + std::to_string(category) +
                                 " " + problem + ", got " + quoted(token)};
    }

private:
    const lines& text_;
    int n_;
};

int category_count(std::string_view line3) {
    std::string_view text;
    const parsed<long long> count = parse_leading_integer(line3, text);
    if (count.status == number_status::not_a_number) {
        throw setting_error(3, "expected the number of categories at the start of the line, got " +
                                   quoted(line3));
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
        if (!(total > a[i])) {
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

// Lines 6 to 9: the reference category's token only holds its place.
void read_exposed(const reader& in, const value_line& line, bool positive, bool take_log,
                  Matrix& target) {
    const auto tokens = in.tokens(line);
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        const int category = static_cast<int>(i);
        const double value = reader::convert(line, category, tokens[i]);
        if (positive) {
            reader::require_positive(line, category, tokens[i], value);
        }
        target(i - 1, 0) = take_log ? std::log(value) : value;
    }
}

// Only the first two characters count: stored files rely on it.
study_design design_of(std::string_view line2) {
    auto is_c = [](char c) { return c == 'C' || c == 'c'; };
    return line2.size() >= 2 && is_c(line2[0]) && is_c(line2[1]) ? study_design::case_control
                                                                 : study_design::cohort;
}

} // namespace

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        return std::nullopt;
    }
    return content.str();
}

study parse_setting_file(std::string_view content) {
    const lines text = split_lines(content);
    study s;
    s.title = std::string(text[0]);
    s.design = design_of(text[1]);
    s.n = category_count(text[2]) - 1;
    const auto n = static_cast<Matrix::size_type>(s.n);
    s.N = Matrix(n, 1);
    s.x = Matrix(n, 1);
    s.A = Matrix(n, 1);
    s.L = Matrix(n, 1);
    s.lo = Matrix(n, 1);
    s.hi = Matrix(n, 1);
    s.v = Matrix(n, 1);

    const reader in(text, s.n);
    read_counts(in, s);
    read_exposed(in, doses_line, false, false, s.x);
    read_exposed(in, rr_line, true, true, s.L);
    read_exposed(in, lower_line, true, true, s.lo);
    read_exposed(in, upper_line, true, true, s.hi);

    // Half the width of the 95% interval on the log scale, over 1.96, squared.
    for (Matrix::size_type i = 0; i < n; ++i) {
        s.v(i, 0) = std::pow((s.hi(i, 0) - s.lo(i, 0)) * (1.0 / 1.96) * 0.5, 2);
    }
    return s;
}

} // namespace morvex
