#include "estimation/output/pooled_report.hpp"

#include "estimation/base/format.hpp"
#include "estimation/output/dose_wording.hpp"

namespace morvex {
namespace {

const char* const rule = "---------------------------------------------------------\n";

struct method_row {
    const char* name;
    const pooled_estimate& e;
    bool random;
};

} // namespace

void print_models(std::ostream& out, const pooled_summary& s) {
    const method_row rows[] = {{"Fixed effect", s.fixed, false},
                               {"DerSimonian-Laird", s.dl, true},
                               {"REML", s.reml, true}};
    out << format("%-18s %12s %12s %12s %12s %12s %12s %12s\n", "Method", "Estimate", "SE",
                  "Lower 95%", "Upper 95%", "z", "p", "tau^2");
    for (const method_row& r : rows) {
        out << format("%-18s %12lg %12lg %12lg %12lg %12lg %12lg", r.name, r.e.estimate, r.e.se,
                      r.e.lower, r.e.upper, r.e.z, r.e.p);
        out << (r.random ? format(" %12lg\n", r.e.tau2) : std::string("\n"));
    }
}

std::string heterogeneity_line(const heterogeneity& h) {
    return format("Heterogeneity: Q = %lg, df = %d, p = %lg, I^2 = %lg%%\n", h.Q, h.df, h.p, h.I2);
}

void print_pooled_summary(std::ostream& out, const pooled_summary& s,
                          std::optional<double> increment, const std::string& unit,
                          outcome_measure measure) {
    const method_row rows[] = {{"Fixed effect", s.fixed, false},
                               {"DerSimonian-Laird", s.dl, true},
                               {"REML", s.reml, true}};
    out << rule << format("Pooled slope of %zu studies", s.studies.size())
        << (is_continuous(measure) ? std::string(" (") + words(measure).slope_of + " " +
                                         printable(per_dose_text({increment, unit})) + ")"
                                   : "")
        << ".\n";
    print_models(out, s);
    const reml_maximum& search = s.reml_search;
    out << (search.converged
                ? format("REML converged in %d iteration%s.\n", search.iterations,
                         search.iterations == 1 ? "" : "s")
                : format("*** REML not converged in %d iterations; its last value is shown.\n",
                         search.iterations))
        << format("REML search: %d grid values of tau^2, %d local maxim%s, the highest taken.\n",
                  search.grid_points, search.maxima, search.maxima == 1 ? "um" : "a")
        << heterogeneity_line(s.het);
    out << printable(rr_per_text({increment, unit, measure})) << ":\n"
        << format("%-18s %12s %12s %12s\n", "Method", words(measure).abbreviation, "Lower 95%",
                  "Upper 95%");
    for (const method_row& r : rows) {
        const rr_per_increment rr = per_increment(r.e, rr_step(increment), measure);
        out << format("%-18s %12lg %12lg %12lg\n", r.name, rr.rr, rr.lower, rr.upper);
    }
    out << "Weights in percent:\n"
        << format("%12s %12s %8s %8s %8s  %s\n", "Slope", "SE", "Fixed", "DL", "REML", "Study");
    for (std::size_t i = 0; i < s.studies.size(); ++i) {
        out << format("%12lg %12lg %8.2f %8.2f %8.2f  %s\n", s.studies[i].b, s.studies[i].se,
                      s.fixed.weight_percent[i], s.dl.weight_percent[i], s.reml.weight_percent[i],
                      printable(s.studies[i].label).c_str());
    }
}

void print_meta_analysis(std::ostream& out, const meta_analysis& m,
                         const std::function<void(std::ostream&)>& analyses) {
    if (m.pooled) {
        print_pooled_summary(out, *m.pooled, m.increment, m.unit, m.measure);
    } else {
        out << rule << "No pooling: " << printable(m.not_pooled) << ".\n";
    }
    if (analyses) {
        analyses(out);
    }
    print_left_out(out, m);
}

void print_left_out(std::ostream& out, const meta_analysis& m) {
    if (!m.left_out.empty()) {
        out << "Left out of the pooling:\n";
        for (const left_out_study& s : m.left_out) {
            out << "  " << printable(s.label) << ": " << s.reason << '\n';
        }
    }
}

} // namespace morvex
