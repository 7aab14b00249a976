// The files a run writes besides standard output: the pictures and the
// summary table, checked against the inputs first and written whole at the end.
#ifndef MORVEX_ESTIMATION_OUTPUT_FILES_HPP
#define MORVEX_ESTIMATION_OUTPUT_FILES_HPP

#include "estimation/app/options.hpp"
#include "estimation/app/run.hpp"

#include <ostream>
#include <string>

namespace morvex {

// Why an output would replace an input or another output; empty when none would.
std::string output_conflict(const options& opts);

// Writes the pictures and the summary table asked for; false, with one line on
// standard error for each, when some cannot be drawn or written.
bool write_outputs(const options& opts, const session& s, std::ostream& err);

} // namespace morvex

#endif
