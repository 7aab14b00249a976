// Results as one JSON document: {"studies": [...]}, written study by study,
// then the pooling, {"studies": [...], "pooled": {...}}, when asked for.
#ifndef MORVEX_ESTIMATION_JSON_HPP
#define MORVEX_ESTIMATION_JSON_HPP

#include "estimation/base/format.hpp"
#include "estimation/method/study.hpp"
#include "estimation/output/json_text.hpp"
#include "estimation/output/paper_report.hpp"
#include "estimation/output/text_builder.hpp"
#include "estimation/pooling/curve_analysis.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// A number's shortest text, kept to be copied where the same double recurs.
struct json_number {
    double value = 0.0;
    std::size_t size = 0;
    char text[number_chars] = {};
};

class json_writer {
public:
    // `covariance`: each study also says which covariance it used, with
    // Hamling's pseudo-counts when those were formed.
    explicit json_writer(std::ostream& out, bool covariance = false)
        : out_(out), covariance_(covariance) {}
    void begin();
    void write(const study_result& r);
    // Writes an entry that append_json_study built, `first` true only for the
    // document's first.
    void write_entry(std::string_view entry);
    // Closes the document, with the pooling, the pooled trend and its extras when given.
    void end(const meta_analysis* pooled = nullptr, const curve_result* curve = nullptr,
             const trend_extras& extras = {});

private:
    std::ostream& out_;
    std::string text_;                 // an entry as it is built, kept for the next one's room
    std::vector<json_number> numbers_; // the entry's variances and covariances
    bool first_ = true;
    bool covariance_;
};

// A study's entry in the "studies" array, appended to `out`; `first`: the
// array's first entry. `numbers` is room for the entry's repeated numbers.
void append_json_study(text_builder& out, const study_result& r, bool first, bool covariance,
                       std::vector<json_number>& numbers);

} // namespace morvex

#endif
