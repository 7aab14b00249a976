#include "estimation/input/table_study.hpp"

#include "estimation/base/format.hpp"
#include "estimation/input/input_checks.hpp"

#include <algorithm>
#include <iterator>
#include <numeric>
#include <utility>

namespace morvex {

int missing_counts::first_line() const {
    const std::vector<int>* const kinds[] = {&cases, &totals, &types};
    return std::accumulate(
        std::begin(kinds), std::end(kinds), 0, [](int first, const std::vector<int>* lines) {
            return !lines->empty() && (first == 0 || lines->front() < first) ? lines->front()
                                                                             : first;
        });
}

std::string missing_counts::text(const std::string& cases_name, const std::string& totals_name,
                                 const std::string& type_name) const {
    std::string result;
    for (const auto& [lines, name] :
         {std::pair{&types, &type_name}, {&cases, &cases_name}, {&totals, &totals_name}}) {
        if (lines->empty()) {
            continue;
        }
        result += (result.empty() ? "no " : "; no ") + *name +
                  (lines->size() > 1 ? " on lines " : " on line ");
        for (std::size_t k = 0; k < lines->size(); ++k) {
            result += (k == 0 ? "" : ", ") + std::to_string((*lines)[k]);
        }
    }
    return result;
}

std::size_t reference_of_ones(const std::vector<table_file::category>& categories,
                              std::size_t none) {
    const auto ones = [](const table_file::category& c) { return c.all_ones; };
    if (std::count_if(categories.begin(), categories.end(), ones) != 1) {
        return none;
    }
    return static_cast<std::size_t>(std::distance(
        categories.begin(), std::find_if(categories.begin(), categories.end(), ones)));
}

void fill_study(study& s, const std::vector<table_file::category>& categories,
                std::size_t reference, study_design design, const std::string& id, int line,
                std::vector<int>& lines) {
    renew(s, static_cast<Matrix::size_type>(categories.size() - 1));
    s.title = "Study ";
    s.title += printable(id);
    s.title += " (line ";
    s.title += std::to_string(line);
    s.title += ')';
    s.design = design;
    s.n = static_cast<int>(categories.size()) - 1;
    const table_file::category& ref = categories[reference];
    lines.assign(1, ref.line);
    s.A0 = ref.cases;
    s.N0 = ref.total;
    s.x0 = ref.dose;
    s.mean0 = ref.mean;
    s.sd0 = ref.sd;
    s.M1 = ref.cases; // summed reference first, as a setting file lists them
    Matrix::size_type i = 0;
    for (std::size_t k = 0; k < categories.size(); ++k) {
        if (k == reference) {
            continue;
        }
        const table_file::category& c = categories[k];
        s.M1 += c.cases;
        s.N(i, 0) = c.total;
        s.x(i, 0) = c.dose - ref.dose; // published doses are absolute
        s.dose(i, 0) = c.dose;
        s.A(i, 0) = c.cases;
        s.L(i, 0) = c.L;
        s.lo(i, 0) = c.lo;
        s.hi(i, 0) = c.hi;
        s.v(i, 0) = c.v;
        s.mean(i, 0) = c.mean;
        s.sd(i, 0) = c.sd;
        lines.push_back(c.line);
        ++i;
    }
}

void add_study_notices(study& s, const std::string& id, const std::vector<int>& lines,
                       const std::vector<dose_assignment>& assigned) {
    const auto line_of = [&lines](study_value, int k) {
        return lines[static_cast<std::size_t>(k)];
    };
    s.warnings = s.is_continuous() ? check_means(s, line_of) : check_values(s, line_of);
    for (notice& w : s.warnings) {
        w.message =
            "study " + printable(id) + ": " + w.message; // categories count from its reference
    }
    for (std::size_t at = 0; at < assigned.size(); ++at) {
        const dose_assignment& a = assigned[at];
        s.warnings.insert(s.warnings.begin() + static_cast<std::ptrdiff_t>(at),
                          notice{a.line,
                                 "study " + printable(id) + ": dose " + quoted(a.text) +
                                     " taken as " + shortest(a.dose) + " (" + a.rule + ")",
                                 true});
    }
    s.assigned_doses = assigned;
}

} // namespace morvex
