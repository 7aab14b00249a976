// The one exception of the matrix template: misuse, reported before any
// matrix has changed.
#ifndef MORVEX_MATRIX_MATRIX_ERROR_HPP
#define MORVEX_MATRIX_MATRIX_ERROR_HPP

#include <stdexcept>

namespace math {

class matrix_error : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

} // namespace math

#endif
