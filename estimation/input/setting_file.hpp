// Reading and validating a setting file: nine lines of text describing one study.
#ifndef MORVEX_ESTIMATION_SETTING_FILE_HPP
#define MORVEX_ESTIMATION_SETTING_FILE_HPP

#include "estimation/method/study.hpp"

#include <stdexcept>
#include <string>
#include <string_view>

namespace morvex {

// Bounds on line 3: one reference and at most 1000 exposed categories.
constexpr long long min_categories = 2;
constexpr long long max_categories = 1001;

// A file the program refuses: `line` is the 1-based line at fault.
class setting_error : public std::runtime_error {
public:
    setting_error(int line, const std::string& message)
        : std::runtime_error(message), line_(line) {}
    int line() const noexcept { return line_; }

private:
    int line_;
};

// The file ends before its ninth line, after `lines_read` complete lines.
class truncated_setting_file : public std::runtime_error {
public:
    explicit truncated_setting_file(int lines_read);
    int lines_read() const noexcept { return lines_read_; }

private:
    int lines_read_;
};

// Builds the study, with the slips it notices in `study::warnings`, from the
// content of a setting file. Lines may end in "\n", "\r\n" or a lone "\r";
// lines after the ninth are ignored. Throws truncated_setting_file or
// setting_error.
study parse_setting_file(std::string_view content);

} // namespace morvex

#endif
