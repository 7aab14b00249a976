#include "estimation/output/json_text.hpp"

#include "estimation/base/format.hpp"

namespace morvex {

void append_json_number(text_builder& out, double value) {
    const std::size_t size = shortest_chars(value, out.room(number_chars));
    if (size == 0) {
        out.write("null", 4);
    } else {
        out.used(size);
    }
}

void write_json_number(std::ostream& out, double value) {
    const std::string text = shortest(value);
    out << (text.empty() ? "null" : text);
}

void append_json_string(text_builder& out, std::string_view text) {
    out.put('"');
    // Runs of characters that need no escape are appended at once.
    std::size_t plain = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            // A byte that is not part of well-formed UTF-8 would make the whole
            // document unreadable to a strict parser: it is written as the text
            // report shows it, "\xfc".
            if (const std::size_t length = utf8_length(text, at); length > 0) {
                at += length - 1;
                continue;
            }
            out.write(text.data() + plain, at - plain);
            plain = at + 1;
            out << format("\\\\x%02x", byte);
            continue;
        }
        if (c != '"' && c != '\\' && byte >= 0x20 && byte != 0x7f) {
            continue;
        }
        out.write(text.data() + plain, at - plain);
        plain = at + 1;
        switch (c) {
        case '"':
            out << "\\\"";
            break;
        case '\\':
            out << "\\\\";
            break;
        case '\n':
            out << "\\n";
            break;
        case '\r':
            out << "\\r";
            break;
        case '\t':
            out << "\\t";
            break;
        default:
            out << format("\\u%04x", byte);
        }
    }
    out.write(text.data() + plain, text.size() - plain);
    out.put('"');
}

void write_json_string(std::ostream& out, std::string_view text) {
    std::string escaped;
    text_builder built(escaped);
    append_json_string(built, text);
    built.pass_on(out);
}

void append_json_named(text_builder& out, const std::string& input, const std::string& id) {
    out << "{\"input\": ";
    append_json_string(out, input);
    out << ", \"id\": ";
    append_json_string(out, id);
}

void write_json_named(std::ostream& out, const std::string& input, const std::string& id) {
    std::string text;
    text_builder built(text);
    append_json_named(built, input, id);
    built.pass_on(out);
}

void append_json_figures(text_builder& out,
                         std::initializer_list<std::pair<const char*, double>> figures,
                         bool first) {
    for (const auto& [name, value] : figures) {
        out << (first ? "\"" : ", \"") << name << "\": ";
        append_json_number(out, value);
        first = false;
    }
}

void append_shown_figures(text_builder& out, const rr_per_increment& shown, outcome_measure measure,
                          bool with_value) {
    const char* const code = words(measure).code;
    if (with_value) {
        out << ", \"" << code << "\": ";
        append_json_number(out, shown.rr);
    }
    out << ", \"" << code << "_lower\": ";
    append_json_number(out, shown.lower);
    out << ", \"" << code << "_upper\": ";
    append_json_number(out, shown.upper);
}

namespace {

// {"estimate", "se", "lower", "upper", the test statistic named, "p", the
// object left open.
template <class Estimate>
void open_interval_figures(text_builder& out, const Estimate& e, const char* statistic,
                           double value) {
    out.put('{');
    append_json_figures(out,
                        {{"estimate", e.estimate},
                         {"se", e.se},
                         {"lower", e.lower},
                         {"upper", e.upper},
                         {statistic, value},
                         {"p", e.p}},
                        true);
}

} // namespace

void append_json_estimate(text_builder& out, const pooled_estimate& e, bool random,
                          std::optional<double> step, outcome_measure measure) {
    open_interval_figures(out, e, "z", e.z);
    if (random) {
        append_json_figures(out, {{"tau2", e.tau2}});
    }
    if (step) {
        append_shown_figures(out, per_increment(e, *step, measure), measure);
    }
}

void append_json_t_figures(text_builder& out, const t_interval& e) {
    open_interval_figures(out, e, "t", e.t);
}

void append_json_heterogeneity(text_builder& out, const heterogeneity& h) {
    out << "{\"Q\": ";
    append_json_number(out, h.Q);
    out << ", \"df\": " << h.df << ", \"p\": ";
    append_json_number(out, h.p);
    out << ", \"I2\": ";
    append_json_number(out, h.I2);
    out.put('}');
}

void append_json_search(text_builder& out, const reml_maximum& s) {
    out << ", \"search\": {\"method\": \"grid and safeguarded Newton\", \"grid_points\": "
        << s.grid_points << ", \"local_maxima\": " << s.maxima
        << ", \"iterations\": " << s.iterations
        << ", \"converged\": " << (s.converged ? "true" : "false") << '}';
}

void append_json_models(text_builder& out, const pooled_summary& s, std::optional<double> step,
                        outcome_measure measure, bool search) {
    out << "{\"k\": " << s.k << ", \"fixed\": ";
    append_json_estimate(out, s.fixed, false, step, measure);
    out << "}, \"dl\": ";
    append_json_estimate(out, s.dl, true, step, measure);
    out << "}, \"reml\": ";
    append_json_estimate(out, s.reml, true, step, measure);
    if (search) {
        append_json_search(out, s.reml_search);
    }
    out << "}, \"heterogeneity\": ";
    append_json_heterogeneity(out, s.het);
    out.put('}');
}

} // namespace morvex
