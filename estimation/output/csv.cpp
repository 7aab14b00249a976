#include "estimation/output/csv.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"

#include <cmath>
#include <string>

namespace morvex {

void write_csv_field(std::ostream& out, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out << text;
        return;
    }
    out << '"';
    for (const char c : text) {
        out << c;
        if (c == '"') {
            out << '"';
        }
    }
    out << '"';
}

void write_csv_header(std::ostream& out, bool increment, std::string_view more) {
    out << "input,id,design,categories,iterations,converged,beta,se,lower,upper,p,status,"
           "message,warnings"
        << (increment ? ",increment,rr,rr_lower,rr_upper" : "") << more << "\r\n";
}

void write_csv_row(std::ostream& out, const study_result& r, std::optional<double> increment) {
    write_csv_fields(out, r, increment);
    out << "\r\n";
}

void write_csv_fields(std::ostream& out, const study_result& r, std::optional<double> increment) {
    write_csv_field(out, r.input);
    out << ',';
    write_csv_field(out, r.id);
    out << ',' << (r.has_data ? design_code(r.data.design) : "") << ',';
    if (r.has_data) {
        out << r.categories();
    }
    out << ',';
    if (r.has_fit) {
        out << r.iterations;
    }
    // A study whose counts were never fitted has not converged either.
    out << ',' << (r.has_fit && r.converged ? "true" : "false");
    char text[number_chars];
    for (const double value : {r.beta, r.se, r.lower(), r.upper(), r.p()}) {
        const std::size_t size = shortest_chars(value, text);
        out.put(',');
        out.write(text, static_cast<std::streamsize>(size));
    }
    out << ',' << status_name(r.status) << ',';
    write_csv_field(out, r.message);
    std::string warnings;
    for (const notice& w : r.data.warnings) {
        warnings += (warnings.empty() ? "" : " | ") +
                    (w.line > 0 ? "line " + std::to_string(w.line) + ": " : std::string()) +
                    w.message;
    }
    out << ',';
    write_csv_field(out, warnings);
    if (increment) {
        const double d = *increment;
        const double a = elem::exp(d * r.lower());
        const double b = elem::exp(d * r.upper());
        out << ',' << shortest(d) << ',' << shortest(elem::exp(d * r.beta)) << ','
            << shortest(std::fmin(a, b)) << ',' << shortest(std::fmax(a, b));
    }
}

} // namespace morvex
