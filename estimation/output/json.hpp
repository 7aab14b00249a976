// Results as one JSON document: {"studies": [...]}, written study by study,
// then the pooling, {"studies": [...], "pooled": {...}}, when asked for.
#ifndef MORVEX_ESTIMATION_JSON_HPP
#define MORVEX_ESTIMATION_JSON_HPP

#include "estimation/method/study.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <ostream>
#include <string_view>

namespace morvex {

class json_writer {
public:
    explicit json_writer(std::ostream& out) : out_(out) {}
    void begin();
    void write(const study_result& r);
    // Closes the document, with the pooling when one is given.
    void end(const meta_analysis* pooled = nullptr);

private:
    std::ostream& out_;
    bool first_ = true;
};

// A JSON string: every control character escaped, other bytes (UTF-8) as they are.
void write_json_string(std::ostream& out, std::string_view text);

} // namespace morvex

#endif
