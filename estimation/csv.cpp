#include "estimation/csv.hpp"

#include "estimation/format.hpp"

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

void write_csv_header(std::ostream& out) {
    out << "input,id,design,categories,iterations,converged,beta,se,lower,upper,p,status,"
           "message\r\n";
}

void write_csv_row(std::ostream& out, const study_result& r) {
    write_csv_field(out, r.input);
    out << ',';
    write_csv_field(out, r.id);
    out << ',' << (r.has_data ? design_code(r.data.design) : "") << ',';
    if (r.has_data) {
        out << r.categories();
    }
    out << ',';
    if (r.has_fit) {
        out << r.iterations << ',' << (r.converged ? "true" : "false");
    } else {
        out << ',';
    }
    for (const double value : {r.beta, r.se, r.lower(), r.upper(), r.p()}) {
        out << ',' << shortest(value);
    }
    out << ',' << status_name(r.status) << ',';
    write_csv_field(out, r.message);
    out << "\r\n";
}

} // namespace morvex
