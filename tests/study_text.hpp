// Setting-file text shared by the unit tests of the estimation stages.
#ifndef MORVEX_TESTS_STUDY_TEXT_HPP
#define MORVEX_TESTS_STUDY_TEXT_HPP

#include <string>

namespace morvex_test {

// A case-control study with a reference and three exposed categories, whose
// fitted counts and trend are known.
inline const std::string worked_example = "Example study of one exposure in four categories\n"
                                          "CC\n"
                                          "4\n"
                                          "120 80 95 110\n"
                                          "300 190 210 220\n"
                                          "0 1.5 4 10\n"
                                          "1 1.10 1.35 1.70\n"
                                          "1 0.75 0.92 1.15\n"
                                          "1 1.61 1.98 2.51\n";

// `content` with its 1-based line `number` replaced by `text`.
inline std::string with_line(std::string content, int number, const std::string& text) {
    std::string::size_type begin = 0;
    for (int k = 1; k < number; ++k) {
        begin = content.find('\n', begin) + 1;
    }
    return content.replace(begin, content.find('\n', begin) - begin, text);
}

} // namespace morvex_test

#endif
