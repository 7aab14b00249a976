// Setting files of any size, for timing runs beyond the sizes real studies have.
#ifndef MORVEX_BENCH_SYNTHETIC_STUDY_HPP
#define MORVEX_BENCH_SYNTHETIC_STUDY_HPP

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <string>

namespace morvex {

// A consistent study of n exposed categories: doses 0.5*i, reference risk 0.1,
// totals near 2000 and a slope that puts the largest relative risk at 3, so
// every count stays far inside its range and the fit starts near its solution.
// `design` is line 2 of the file: "CC", "Cohort" or "IR" (totals then person-time).
inline std::string synthetic_setting_as(int n, const std::string& design) {
    const double beta = std::log(3.0) / (0.5 * n);
    std::ostringstream lines[6]; // cases, totals, doses, relative risks, limits
    for (int i = 0; i <= n; ++i) {
        const double total = 1800 + (i * 37) % 400;
        const double risk = std::exp(beta * 0.5 * i);
        const double a = std::clamp(std::round(total * 0.1 * risk), 5.0, total - 1);
        // Category 0 (180 cases) holds places only: its relative risk and limits are 1.
        const double half = i == 0 ? 0.0 : 1.96 * std::sqrt(1 / a + 1 / 180.0);
        const double values[6] = {
            a, total, 0.5 * i, risk, risk / std::exp(half), risk * std::exp(half)};
        for (int k = 0; k < 6; ++k) {
            lines[k] << (i == 0 ? "" : " ") << std::setprecision(10) << values[k];
        }
    }
    std::string text = "Synthetic study, " + std::to_string(n) + " exposed categories\n" + design +
                       "\n" + std::to_string(n + 1) + "\n";
    for (const std::ostringstream& line : lines) {
        text += line.str() + "\n";
    }
    return text;
}

inline std::string synthetic_setting(int n, bool case_control) {
    return synthetic_setting_as(n, case_control ? "CC" : "Cohort");
}

// A table of `studies` such studies of n exposed categories (or, with `most`
// above n, from n to `most` in turn), alternating the three designs, each with
// its own slope so that no two are alike.
inline void write_synthetic_table(std::ostream& out, long studies, int least, int most = 0) {
    out << "id,type,dose,cases,n,rr,lb,ub\n";
    const char* const types[] = {"cc", "ci", "ir"};
    for (long k = 0; k < studies; ++k) {
        const int n = most > least ? least + static_cast<int>(k % (most - least + 1)) : least;
        const double beta = std::log(1.5 + (k % 97) * 0.02) / (0.5 * n);
        for (int i = 0; i <= n; ++i) {
            const double total = 1800 + (i * 37 + k) % 400;
            const double risk = std::exp(beta * 0.5 * i);
            const double a = std::clamp(std::round(total * 0.1 * risk), 5.0, total - 1);
            const double half = 1.96 * std::sqrt(1 / a + 1 / 180.0);
            out << 's' << k << ',' << types[k % 3] << ',' << 0.5 * i << ',' << a << ','
                << total * (k % 3 == 2 ? 3.5 : 1.0) << ',' << std::setprecision(10) << risk;
            if (i == 0) {
                out << ",,\n";
            } else {
                out << ',' << risk / std::exp(half) << ',' << risk * std::exp(half) << '\n';
            }
        }
    }
}

} // namespace morvex

#endif
