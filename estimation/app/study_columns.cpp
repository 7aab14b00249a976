#include "estimation/app/study_columns.hpp"

#include "estimation/base/format.hpp"
#include "estimation/input/number.hpp"

namespace morvex {

column_value study_column_value(const table_file& table, std::size_t k, const std::string& column,
                                const std::string& file, const std::string& id) {
    column_value v;
    const table_file::field_value f = table.field(k, column, true);
    if (!f.column) {
        v.missing = "the table has no column " + quoted(column);
        return v;
    }
    int line = 0; // of the first row with a value
    for (const auto& [row, value] : f.rows) {
        if (is_missing_text(value)) {
            continue;
        }
        if (line == 0) {
            line = row;
            v.value = value;
        } else if (value != v.value) {
            v.conflict = printable(file) + ':' + std::to_string(row) + ": column " +
                         printable(column) + ": study " + printable(id) + ": the rows on lines " +
                         std::to_string(line) + " and " + std::to_string(row) +
                         " give different values, " + quoted(v.value) + " and " + quoted(value) +
                         "; a moderator has one value per study (give it on every row, or on "
                         "one row and leave the others empty)";
            return v;
        }
    }
    if (line == 0) {
        v.missing = "no value of column " + quoted(column);
        return v;
    }
    const parsed<double> number = parse_number(v.value);
    if (number.status == number_status::ok) {
        v.number = number.value;
    }
    return v;
}

} // namespace morvex
