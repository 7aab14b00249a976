// Eigenvalues and eigenvectors of a small symmetric matrix (cyclic Jacobi).
#ifndef MORVEX_ESTIMATION_POOLING_SYMMETRIC_EIGEN_HPP
#define MORVEX_ESTIMATION_POOLING_SYMMETRIC_EIGEN_HPP

#include "estimation/method/study.hpp"

#include <vector>

namespace morvex {

struct eigen_decomposition {
    std::vector<double> values; // descending
    Matrix vectors{0, 0};       // column k belongs to values[k]
};

eigen_decomposition symmetric_eigen(const Matrix& A);

// The nearest positive semidefinite matrix: the negative eigenvalues set to 0.
Matrix positive_part(const Matrix& A);

} // namespace morvex

#endif
