#include "estimation/method/highest_category.hpp"

#include "estimation/base/format.hpp"

namespace morvex {

highest_category highest_of(const study& s, const std::vector<int>& lines) {
    highest_category h;
    const auto n = s.dose.row_count();
    if (n == 0) {
        return h;
    }
    Matrix::size_type top = 0;
    for (Matrix::size_type i = 1; i < n; ++i) {
        if (s.dose(i, 0) > s.dose(top, 0)) {
            top = i;
        }
    }
    std::vector<Matrix::size_type> tied;
    for (Matrix::size_type i = 0; i < n; ++i) {
        if (s.dose(i, 0) == s.dose(top, 0)) {
            tied.push_back(i);
        }
    }
    const bool table = lines.size() == n + 1;
    const auto where = [&](Matrix::size_type i) { // i: exposed category, 0-based
        return table ? std::to_string(lines[i + 1]) : std::to_string(i + 1);
    };
    h.line = table ? lines[tied.front() + 1] : 6;
    const std::string dose = shortest(s.dose(top, 0));
    if (tied.size() > 1) {
        std::string list;
        for (std::size_t j = 0; j < tied.size(); ++j) {
            list += (j == 0 ? "" : j + 1 == tied.size() ? " and " : ", ") + where(tied[j]);
        }
        h.problem = (table ? "the rows on lines " : "categories ") + list +
                    " share the highest dose, " + dose +
                    "; highest versus lowest needs one category of the highest dose";
        return h;
    }
    if (!(s.dose(top, 0) > s.x0)) {
        h.line = table ? lines.front() : 6;
        h.problem = "the reference has the highest dose (" + shortest(s.x0) +
                    "); highest versus lowest compares the highest dose with the reference";
        return h;
    }
    h.y = s.L(top, 0);
    h.variance = s.v(top, 0);
    h.dose = s.dose(top, 0);
    h.line = table ? lines[top + 1] : 6;
    return h;
}

} // namespace morvex
