#include "estimation/input/table_header.hpp"

#include "estimation/base/format.hpp"

#include <algorithm>
#include <iterator>

namespace morvex {
namespace {

std::string canonical(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return result;
}

struct role {
    table_column table_columns::*column;
    const char* names; // the value's own name first, then its aliases, space-separated
};

const role roles[] = {
    {&table_columns::id, "id study"},
    {&table_columns::type, "type"},
    {&table_columns::dose, "dose"},
    {&table_columns::cases, "cases"},
    {&table_columns::n, "n total persons person_years pyrs person_time"},
    {&table_columns::controls, "controls"},
    {&table_columns::rr, "rr or hr irr"},
    {&table_columns::lb, "lb lower ll lci"},
    {&table_columns::ub, "ub upper ul uci"},
    {&table_columns::logrr, "logrr logor loghr"},
    {&table_columns::se, "se"},
    // Only a table of means reads these; a table of cases keeps ignoring them.
    {&table_columns::mean, "mean avg"},
    {&table_columns::sd, "sd std stdev"},
    {&table_columns::ref, "ref reference"},
};

// The roles a table of cases has always had: two columns for one of them
// refuse it whatever its kind.
bool binary_role(const role& r) {
    return r.column != &table_columns::mean && r.column != &table_columns::sd &&
           r.column != &table_columns::ref;
}

bool names_role(const role& r, const std::string& name) {
    std::string_view names = r.names;
    while (!names.empty()) {
        const std::size_t end = std::min(names.find(' '), names.size());
        if (names.substr(0, end) == name) {
            return true;
        }
        names.remove_prefix(std::min(end + 1, names.size()));
    }
    return false;
}

std::string own_name(const role& r) {
    const std::string_view names = r.names;
    return std::string(names.substr(0, names.find(' ')));
}

const role& role_of(table_column table_columns::*column) {
    return *std::find_if(std::begin(roles), std::end(roles),
                         [column](const role& r) { return r.column == column; });
}

// "n may also be called total, persons, ...": the aliases of a value.
std::string aliases(const role& r) {
    const std::string_view names = r.names;
    const std::size_t space = names.find(' ');
    if (space == std::string_view::npos) {
        return "";
    }
    std::string rest(names.substr(space + 1));
    for (std::size_t at = rest.find(' '); at != std::string::npos; at = rest.find(' ', at + 2)) {
        rest.replace(at, 1, ", ");
    }
    return "; " + own_name(r) + " may also be called " + rest;
}

// Takes field k of the header for the value it names. Two columns for a value
// of a table of cases refuse the file at once; two for a value only a table
// of means reads are kept in `twice`, to refuse such a table alone.
void take(table_columns& columns, const std::vector<std::string>& header, std::size_t k, int line,
          std::optional<table_error>& twice) {
    const std::string name = canonical(header[k]);
    for (const role& r : roles) {
        if (!names_role(r, name)) {
            continue;
        }
        table_column& column = columns.*r.column;
        if (column.index >= 0) {
            const std::string first = canonical(column.name);
            const table_error fault =
                first == name
                    ? table_error(line, "the header names column " + own_name(r) +
                                            " twice (columns " + std::to_string(column.index + 1) +
                                            " and " + std::to_string(k + 1) + ")")
                    : table_error(line, "the header has two columns for " + own_name(r) + ": " +
                                            quoted(column.name) + " (column " +
                                            std::to_string(column.index + 1) + ") and " +
                                            quoted(header[k]) + " (column " +
                                            std::to_string(k + 1) + "); keep one");
            if (binary_role(r)) {
                throw fault;
            }
            if (!twice) {
                twice = fault;
            }
            continue;
        }
        column.index = static_cast<int>(k);
        column.name = header[k];
        column.name = column.name.substr(column.name.find_first_not_of(" \t"));
        column.name.erase(column.name.find_last_not_of(" \t") + 1);
    }
}

} // namespace

table_columns find_columns(const std::vector<std::string>& header, int line) {
    table_columns c;
    std::optional<table_error> twice;
    for (std::size_t k = 0; k < header.size(); ++k) {
        if (!canonical(header[k]).empty()) {
            take(c, header, k, line, twice);
        }
    }
    const bool limits = c.rr.index >= 0 || c.lb.index >= 0 || c.ub.index >= 0;
    c.log_scale = !limits && (c.logrr.index >= 0 || c.se.index >= 0);
    c.continuous =
        !limits && c.cases.index < 0 && c.logrr.index < 0 && (c.mean.index >= 0 || c.sd.index >= 0);
    if (c.continuous && twice) {
        throw *twice;
    }
    using member = table_column table_columns::*;
    const std::vector<member> needed =
        c.continuous
            ? std::vector<member>{&table_columns::id, &table_columns::dose, &table_columns::mean,
                                  &table_columns::sd, &table_columns::n}
            : std::vector<member>{&table_columns::id,
                                  &table_columns::type,
                                  &table_columns::dose,
                                  &table_columns::cases,
                                  c.n.index >= 0 ? &table_columns::n : &table_columns::controls,
                                  c.log_scale ? &table_columns::logrr : &table_columns::rr,
                                  c.log_scale ? &table_columns::se : &table_columns::lb,
                                  c.log_scale ? &table_columns::se : &table_columns::ub};
    std::vector<member> missing;
    for (const member m : needed) {
        if ((c.*m).index < 0 && std::find(missing.begin(), missing.end(), m) == missing.end()) {
            missing.push_back(m);
        }
    }
    if (missing.empty()) {
        return c;
    }
    std::string list;
    std::string names;
    for (const member m : missing) {
        const bool total = m == &table_columns::controls && !c.continuous;
        const role& r = role_of(total ? &table_columns::n : m);
        list += (list.empty() ? "" : ", ") + (total ? std::string("n (or controls)") : own_name(r));
        names += aliases(r);
    }
    std::string found;
    for (const std::string& field : header) {
        found += (found.empty() ? "" : ", ") + printable(canonical(field));
    }
    throw table_error(line, "the header lacks column" +
                                std::string(missing.size() > 1 ? "s " : " ") + list +
                                " (columns are found by name, in any order and letter case); "
                                "its columns are " +
                                found + names);
}

namespace {

// The first line with anything but blanks on it, after a byte-order mark.
std::string_view first_line(std::string_view content) {
    std::size_t start = content.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start < content.size()) {
        const std::size_t end = std::min(content.find_first_of("\r\n", start), content.size());
        const std::string_view line = content.substr(start, end - start);
        if (line.find_first_not_of(" \t") != std::string_view::npos) {
            return line;
        }
        start = end + 1;
    }
    return {};
}

} // namespace

char table_separator(std::string_view content, bool tab) {
    if (tab) {
        return '\t';
    }
    const std::string_view line = first_line(content);
    const bool semicolons = line.find(';') != std::string_view::npos;
    return semicolons && line.find(',') == std::string_view::npos ? ';' : ',';
}

std::optional<bool> table_header_line(std::string_view content) {
    const std::string_view line = first_line(content);
    for (const char separator : {'\t', ',', ';'}) {
        std::size_t start = 0;
        while (line.find(separator) != std::string_view::npos && start <= line.size()) {
            const std::size_t end = std::min(line.find(separator, start), line.size());
            const std::string name = canonical(line.substr(start, end - start));
            if (name == "id" || name == "study" || name == "\"id\"" || name == "\"study\"") {
                return separator == '\t';
            }
            start = end + 1;
        }
    }
    return std::nullopt;
}

} // namespace morvex
