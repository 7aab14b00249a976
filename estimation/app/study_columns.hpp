// What a run reads from a table beside each study's categories: its value of
// a study-level column, for the meta-regression's moderators.
#ifndef MORVEX_ESTIMATION_APP_STUDY_COLUMNS_HPP
#define MORVEX_ESTIMATION_APP_STUDY_COLUMNS_HPP

#include "estimation/input/table_file.hpp"
#include "estimation/method/study.hpp"

#include <string>

namespace morvex {

// Study k's value of `column`: the value its rows give, rows left empty or NA
// aside, with `number` set when it reads as one; `missing` when the table has
// no such column or no row a value; `conflict`, a message naming the file, the
// rows and the study, when two rows give different values.
column_value study_column_value(const table_file& table, std::size_t k, const std::string& column,
                                const std::string& file, const std::string& id);

} // namespace morvex

#endif
