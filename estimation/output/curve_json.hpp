// The pooled trend as the JSON object "curve".
#ifndef MORVEX_ESTIMATION_OUTPUT_CURVE_JSON_HPP
#define MORVEX_ESTIMATION_OUTPUT_CURVE_JSON_HPP

#include "estimation/pooling/curve_analysis.hpp"

#include <ostream>

namespace morvex {

void write_curve_json(std::ostream& out, const curve_result& r);

} // namespace morvex

#endif
