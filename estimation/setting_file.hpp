// Reading and validating a setting file: nine lines of text describing one study.
#ifndef MORVEX_ESTIMATION_SETTING_FILE_HPP
#define MORVEX_ESTIMATION_SETTING_FILE_HPP

#include "estimation/study.hpp"

#include <optional>
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

// The file ends before its ninth line.
class truncated_setting_file : public std::runtime_error {
public:
    truncated_setting_file() : std::runtime_error("the setting file ends before line 9") {}
};

// The whole content of a file, or nothing when it cannot be opened or read.
std::optional<std::string> read_file(const std::string& path);

// Builds the study from the content of a setting file. Lines may end in "\n" or
// "\r\n"; lines after the ninth are ignored. Throws truncated_setting_file or
// setting_error.
study parse_setting_file(std::string_view content);

} // namespace morvex

#endif
