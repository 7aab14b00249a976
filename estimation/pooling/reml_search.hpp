// The global maximum of the restricted likelihood over Psi = L L', L lower
// triangular, searched from several starts, inside the cone of positive
// semidefinite matrices and on its boundary (Psi of every lower rank).
#ifndef MORVEX_ESTIMATION_POOLING_REML_SEARCH_HPP
#define MORVEX_ESTIMATION_POOLING_REML_SEARCH_HPP

#include "estimation/pooling/mixed_model.hpp"

#include <optional>
#include <string>
#include <vector>

namespace morvex {

// Where one start ended.
struct reml_start {
    std::string name; // "identity/10", "moments", "rank one", "near zero", "rank 1 of moments", ...
    int rank = 0;     // of the Psi it searched: p inside the cone, fewer on its boundary
    int iterations = 0;
    bool converged = false;
    double loglik = 0.0;
    double gradient = 0.0;   // largest |d loglik / d theta| at its end, theta scaled (see below)
    bool at_optimum = false; // ended at the reported maximum
    int optimum = 0;         // which of the distinct maxima found it ended at, 1 the highest
    std::string joined;      // the start whose search it joined on the way, if any
    Matrix psi{0, 0};
};

struct reml_fit {
    bool found = false; // no start could evaluate the model otherwise
    Matrix psi{0, 0};
    mixed_evaluation at;
    int iterations = 0; // of the start that reached the maximum
    bool converged = false;
    double gradient = 0.0; // checked at the maximum
    double target = 0.0;   // the largest gradient counted as converged
    int optima = 0;        // distinct maxima found
    std::vector<reml_start> starts;
};

// theta holds the lower triangle of L~ column by column with Psi = D L~ L~' D and
// D_jj = sqrt(m [(sum X'S^-1X)^-1]_jj), a coefficient's typical within-study
// standard deviation, so the search does not depend on the units of dose; a
// search on the boundary holds only L~'s first columns. `moments` (may be empty)
// seeds some of the starts; `threads` share the sums over the units.
reml_fit maximise_reml(const std::vector<mixed_unit>& units, const std::optional<Matrix>& moments,
                       unsigned threads = 1);

} // namespace morvex

#endif
