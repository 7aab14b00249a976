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

void write_json_named(std::ostream& out, const std::string& input, const std::string& id) {
    out << "{\"input\": ";
    write_json_string(out, input);
    out << ", \"id\": ";
    write_json_string(out, id);
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

} // namespace morvex
