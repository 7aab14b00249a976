#include "estimation/output/csv.hpp"

#include "estimation/base/format.hpp"

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

void write_csv_pooled_rows(std::ostream& out, const meta_analysis& m) {
    if (!m.pooled) {
        out << ",,,,,,,,,,,not pooled,";
        write_csv_field(out, m.not_pooled);
        out << "\r\n";
        return;
    }
    const pooled_summary& s = *m.pooled;
    const std::pair<const char*, const pooled_estimate&> methods[] = {
        {"fixed", s.fixed}, {"dl", s.dl}, {"reml", s.reml}};
    for (const auto& [name, e] : methods) {
        const bool reml = &e == &s.reml;
        out << ',' << name << ",,,";
        if (reml) {
            out << s.reml_search.iterations << ',' << (s.reml_search.converged ? "true" : "false");
        } else {
            out << ',';
        }
        for (const double value : {e.estimate, e.se, e.lower, e.upper, e.p}) {
            out << ',' << shortest(value);
        }
        out << ",pooled,k=" << s.studies.size() << " z=" << shortest(e.z)
            << " tau2=" << shortest(e.tau2) << " Q=" << shortest(s.het.Q) << " df=" << s.het.df
            << " Q_p=" << shortest(s.het.p) << " I2=" << shortest(s.het.I2);
        if (m.increment) {
            const rr_per_increment rr = per_increment(e, *m.increment);
            out << " increment=" << shortest(*m.increment) << " rr=" << shortest(rr.rr)
                << " rr_lower=" << shortest(rr.lower) << " rr_upper=" << shortest(rr.upper);
        }
        out << "\r\n";
    }
}

} // namespace morvex
