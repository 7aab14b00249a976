#include "estimation/output/curve_json.hpp"

#include "estimation/base/format.hpp"
#include "estimation/output/json.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace morvex {
namespace {

using size_type = Matrix::size_type;

constexpr auto& number = write_json_number;

void key(std::ostream& out, const char* name) {
    out << '"' << name << "\": ";
}

void numbers(std::ostream& out, const std::vector<double>& values) {
    out << '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        out << (i == 0 ? "" : ", ");
        number(out, values[i]);
    }
    out << ']';
}

void vector_of(std::ostream& out, const Matrix& m) {
    out << '[';
    for (size_type i = 0; i < m.row_count(); ++i) {
        out << (i == 0 ? "" : ", ");
        number(out, m(i, 0));
    }
    out << ']';
}

void matrix_of(std::ostream& out, const Matrix& m) {
    out << '[';
    for (size_type i = 0; i < m.row_count(); ++i) {
        out << (i == 0 ? "[" : ", [");
        for (size_type j = 0; j < m.col_count(); ++j) {
            out << (j == 0 ? "" : ", ");
            number(out, m(i, j));
        }
        out << ']';
    }
    out << ']';
}

void test(std::ostream& out, const chi_square_test& t) {
    out << "{\"chi2\": ";
    number(out, t.statistic);
    out << ", \"df\": " << t.df << ", \"p\": ";
    number(out, t.p);
    out << '}';
}

constexpr auto& named = write_json_named;

void first_stage(std::ostream& out, const curve_result& r) {
    key(out, "studies");
    out << '[';
    for (std::size_t i = 0; i < r.studies.size(); ++i) {
        const study_coefficients& s = r.studies[i];
        out << (i == 0 ? "\n   " : ",\n   ");
        named(out, s.input, s.id);
        out << ", \"usable\": " << (s.fit.usable ? "true" : "false") << ", \"reason\": ";
        write_json_string(out, s.fit.reason);
        out << ", \"b\": ";
        vector_of(out, s.fit.b);
        out << ", \"V\": ";
        matrix_of(out, s.fit.V);
        out << '}';
    }
    out << "],\n  ";
    key(out, "excluded");
    out << '[';
    for (std::size_t i = 0; i < r.left_out.size(); ++i) {
        out << (i == 0 ? "\n   " : ",\n   ");
        named(out, r.left_out[i].input, r.left_out[i].id);
        out << ", \"reason\": ";
        write_json_string(out, r.left_out[i].reason);
        out << '}';
    }
    out << ']';
}

void starts(std::ostream& out, const curve_method& m) {
    out << ", \"iterations\": " << m.iterations
        << ", \"converged\": " << (m.converged ? "true" : "false") << ", \"gradient\": ";
    number(out, m.gradient);
    out << ", \"gradient_target\": ";
    number(out, m.gradient_target);
    out << ", \"optima\": " << m.optima << ", \"starts\": [";
    for (std::size_t i = 0; i < m.starts.size(); ++i) {
        const reml_start& s = m.starts[i];
        out << (i == 0 ? "" : ", ") << "{\"start\": ";
        write_json_string(out, s.name);
        out << ", \"iterations\": " << s.iterations
            << ", \"converged\": " << (s.converged ? "true" : "false") << ", \"loglik\": ";
        number(out, s.loglik);
        out << ", \"gradient\": ";
        number(out, s.gradient);
        out << ", \"at_optimum\": " << (s.at_optimum ? "true" : "false") << ", \"rank\": " << s.rank
            << ", \"optimum\": " << s.optimum << ", \"joined\": ";
        write_json_string(out, s.joined);
        out << '}';
    }
    out << ']';
}

void method(std::ostream& out, const curve_method& m, outcome_measure measure) {
    out << "{\"available\": " << (m.available ? "true" : "false") << ", \"message\": ";
    write_json_string(out, m.message);
    if (m.available) {
        out << ",\n   \"beta\": ";
        vector_of(out, m.beta);
        out << ", \"cov\": ";
        matrix_of(out, m.cov);
        out << ", \"psi\": ";
        matrix_of(out, m.psi);
        out << ",\n   \"loglik\": ";
        number(out, m.loglik);
        out << ", \"wald_overall\": ";
        test(out, m.overall);
        out << ", \"wald_nonlinear\": ";
        if (m.beta.row_count() > 1) {
            test(out, m.nonlinear);
        } else {
            out << "null";
        }
        out << ",\n   \"predictions\": [";
        for (std::size_t i = 0; i < m.predictions.size(); ++i) {
            const prediction& p = m.predictions[i];
            // A difference of means is shown as it is modelled: one figure, named for it.
            const std::vector<std::pair<const char*, double>> figures =
                words(measure).ratio
                    ? std::vector<std::pair<const char*, double>>{{"dose", p.dose},
                                                                  {"log_rr", p.log_rr},
                                                                  {"se", p.se},
                                                                  {"rr", p.rr},
                                                                  {"lower", p.lower},
                                                                  {"upper", p.upper}}
                    : std::vector<std::pair<const char*, double>>{{"dose", p.dose},
                                                                  {words(measure).code, p.rr},
                                                                  {"se", p.se},
                                                                  {"lower", p.lower},
                                                                  {"upper", p.upper}};
            out << (i == 0 ? "" : ", ");
            const char* separator = "{";
            for (const auto& [name, value] : figures) {
                out << separator;
                key(out, name);
                number(out, value);
                separator = ", ";
            }
            out << '}';
        }
        out << ']';
    }
    if (m.name == "reml") {
        starts(out, m);
    }
    out << '}';
}

} // namespace

void write_curve_json(std::ostream& out, const curve_result& r) {
    out << "{\n  \"trend\": ";
    write_json_string(out, shape_name(r.basis.shape));
    out << ", \"model\": " << (r.settings.one_stage ? "\"one-stage\"" : "\"two-stage\"")
        << ", \"coefficients\": " << r.basis.coefficients() << ", \"knots\": ";
    numbers(out, r.basis.knots);
    out << ", \"reference_dose\": ";
    number(out, r.reference_dose);
    if (is_continuous(r.settings.measure)) {
        out << ", \"measure\": \"" << words(r.settings.measure).code << '"';
    }
    out << ",\n  \"message\": ";
    write_json_string(out, r.message);
    out << ",\n  ";
    first_stage(out, r);
    out << ",\n  \"pooled_studies\": " << r.pooled << ", \"heterogeneity\": ";
    if (r.message.empty()) {
        out << "{\"Q\": ";
        number(out, r.heterogeneity.statistic);
        out << ", \"df\": " << r.heterogeneity.df << ", \"p\": ";
        number(out, r.heterogeneity.p);
        out << ", \"I2\": ";
        number(out, r.I2);
        out << '}';
    } else {
        out << "null";
    }
    for (const char* name : {"fixed", "moments", "reml"}) {
        out << ",\n  ";
        key(out, name);
        const auto found = std::find_if(r.methods.begin(), r.methods.end(),
                                        [name](const curve_method& m) { return m.name == name; });
        if (found != r.methods.end()) {
            method(out, *found, r.settings.measure);
        } else {
            out << "null";
        }
    }
    out << "\n }";
}

} // namespace morvex
