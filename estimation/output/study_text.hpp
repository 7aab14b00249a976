// A study's part of standard output in the run's format, built in room kept
// from study to study, so that several threads can each build studies' texts
// that one thread then writes in order.
#ifndef MORVEX_ESTIMATION_STUDY_TEXT_HPP
#define MORVEX_ESTIMATION_STUDY_TEXT_HPP

#include "estimation/method/study.hpp"
#include "estimation/output/json.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

enum class output_format { text, csv, json };

// What a study's text depends on besides the study.
struct study_text_style {
    output_format format = output_format::text;
    bool classic = false;            // see append_report
    std::optional<double> increment; // CSV: the RR per this much dose, too
    bool covariance_named = false;   // CSV and JSON: which covariance each study used
    bool csv_rows_held = false;      // CSV rows wait for columns known at the end: none here
};

class study_text {
public:
    explicit study_text(const study_text_style& style) : style_(style) {}

    // The study's text, valid until the next call; `first`: the first study of
    // the output, which the report and the JSON array begin without a separator.
    std::string_view build(const study_result& r, bool first);

private:
    study_text_style style_;
    std::string room_;
    std::vector<json_number> numbers_; // a JSON entry's repeated numbers
};

} // namespace morvex

#endif
