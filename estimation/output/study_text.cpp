#include "estimation/output/study_text.hpp"

#include "estimation/output/csv.hpp"
#include "estimation/output/report.hpp"
#include "estimation/output/text_builder.hpp"

namespace morvex {

std::string_view study_text::build(const study_result& r, bool first) {
    switch (style_.format) {
    case output_format::text: {
        text_builder lines(room_);
        if (!first) {
            lines << '\n';
        }
        append_report(lines, r, style_.classic);
        return lines.text();
    }
    case output_format::csv:
        if (style_.csv_rows_held) {
            return {};
        }
        room_.clear();
        append_csv_fields(room_, r, style_.increment);
        if (style_.covariance_named) {
            // The covariance each study used, as the last column.
            room_ += ',';
            room_ += r.has_data ? covariance_name(r.covariance) : "";
        }
        room_ += "\r\n";
        return room_;
    case output_format::json: {
        text_builder entry(room_);
        append_json_study(entry, r, first, style_.covariance_named, numbers_);
        return entry.text();
    }
    }
    return {};
}

} // namespace morvex
