// R's way into the program: the run on texts given in place of files, with the
// arguments of the command line, and the conversions a data frame and the
// program's JSON need on their way in and out. Nothing here computes a figure.
#include "estimation/app/option_list.hpp"
#include "estimation/app/run.hpp"
#include "estimation/base/format.hpp"
#include "estimation/input/number.hpp"
#include "estimation/input/table_header.hpp"
#include "estimation/output/csv.hpp"

#include "json_to_r.h"

#define R_NO_REMAP
#include <R.h>
#include <R_ext/Rdynload.h>
#include <Rinternals.h>

#include <cmath>
#include <cstdio>
#include <exception>
#include <iostream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

namespace {

// An R string vector's elements as UTF-8; NA as empty.
std::vector<std::string> strings(SEXP x) {
    std::vector<std::string> out;
    for (R_xlen_t i = 0; i < XLENGTH(x); ++i) {
        const SEXP s = STRING_ELT(x, i);
        out.emplace_back(s == NA_STRING ? "" : Rf_translateCharUTF8(s));
    }
    return out;
}

SEXP utf8(const std::string& s) {
    return Rf_mkCharLenCE(s.data(), static_cast<int>(s.size()), CE_UTF8);
}

// One field of a table as the program reads it: a double as the shortest text
// that reads back to it, a missing value as an empty field, text quoted when
// it holds a separator, a quote or a line break.
void append_field(std::string& text, SEXP column, R_xlen_t row) {
    char number[morvex::number_chars];
    switch (TYPEOF(column)) {
    case REALSXP: {
        const double v = REAL(column)[row];
        if (ISNA(v)) {
            return;
        }
        if (std::isnan(v)) {
            text += "NaN";
        } else if (std::isinf(v)) {
            text += v > 0 ? "Inf" : "-Inf";
        } else {
            text.append(number, morvex::shortest_chars(v, number));
        }
        return;
    }
    case INTSXP:
        if (INTEGER(column)[row] != NA_INTEGER) {
            text += std::to_string(INTEGER(column)[row]);
        }
        return;
    case LGLSXP:
        if (LOGICAL(column)[row] != NA_LOGICAL) {
            text += LOGICAL(column)[row] != 0 ? "TRUE" : "FALSE";
        }
        return;
    default: {
        const SEXP s = STRING_ELT(column, row);
        if (s == NA_STRING) {
            return;
        }
        morvex::append_csv_field(text, Rf_translateCharUTF8(s));
    }
    }
}

// An output stream's text kept in a string of its own, which the run's
// output (100 MB for 100,000 studies) fills without a copy at the end.
class text_buffer : public std::streambuf {
public:
    std::string text;

protected:
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) {
            text += traits_type::to_char_type(c);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        text.append(s, static_cast<std::size_t>(n));
        return n;
    }
};

// R's error for a C++ failure, raised once every C++ object is gone.
char failure[512];

} // namespace

extern "C" {

// The table text of a list of columns (double, integer, logical or character,
// of one length) under their names: a header, then a line per row.
SEXP morvex_table_text(SEXP columns, SEXP names) {
    bool failed = false;
    SEXP result = R_NilValue;
    {
        std::string text;
        try {
            const R_xlen_t k = XLENGTH(columns);
            const R_xlen_t rows = k > 0 ? XLENGTH(VECTOR_ELT(columns, 0)) : 0;
            for (R_xlen_t j = 0; j < k; ++j) {
                text += j > 0 ? "," : "";
                append_field(text, names, j);
            }
            text += '\n';
            for (R_xlen_t i = 0; i < rows; ++i) {
                for (R_xlen_t j = 0; j < k; ++j) {
                    text += j > 0 ? "," : "";
                    append_field(text, VECTOR_ELT(columns, j), i);
                }
                text += '\n';
            }
        } catch (const std::exception& e) {
            std::snprintf(failure, sizeof failure, "%s", e.what());
            failed = true;
        }
        if (!failed) {
            result = Rf_ScalarString(utf8(text));
        }
    }
    if (failed) {
        Rf_error("Morvex: %s", failure);
    }
    return result;
}

// Runs the program on `args`; the inputs named in `names` are read from
// `texts` (tables where `tables` is TRUE, else setting files), and
// `standard_input` stands for "-". Gives list(status, output, errors), the
// output as the R object of its JSON when `json` is TRUE.
SEXP morvex_run(SEXP args, SEXP names, SEXP texts, SEXP tables, SEXP standard_input, SEXP json) {
    int status = 0;
    bool failed = false;
    SEXP output = R_NilValue;
    std::string errors;
    {
        text_buffer out_text;
        std::ostream out(&out_text);
        std::ostringstream err;
        try {
            std::vector<morvex::input_text> given;
            const std::vector<std::string> n = strings(names);
            const std::vector<std::string> t = strings(texts);
            for (std::size_t i = 0; i < n.size(); ++i) {
                given.push_back({n[i], t[i], LOGICAL(tables)[i] != 0});
            }
            // Standard input is the text given, never the R session's own.
            std::istringstream in(strings(standard_input).front());
            std::streambuf* const kept = std::cin.rdbuf(in.rdbuf());
            try {
                status = morvex::run(strings(args), out, err, std::move(given));
            } catch (...) {
                std::cin.rdbuf(kept);
                throw;
            }
            std::cin.rdbuf(kept);
        } catch (const std::bad_alloc&) {
            std::snprintf(failure, sizeof failure, "out of memory");
            failed = true;
        } catch (const std::exception& e) {
            std::snprintf(failure, sizeof failure, "%s", e.what());
            failed = true;
        }
        if (!failed) {
            errors = err.str();
            out.flush();
            const std::string& text = out_text.text;
            // No output (a refused command line): no JSON to read.
            output = LOGICAL(json)[0] == 0 ? Rf_ScalarString(utf8(text))
                     : text.empty()        ? R_NilValue
                                           : json_to_r(text, failure, sizeof failure);
            failed = output == nullptr;
        }
    }
    if (failed) {
        Rf_error("Morvex: %s", failure);
    }
    PROTECT(output);
    SEXP result = PROTECT(Rf_allocVector(VECSXP, 3));
    SET_VECTOR_ELT(result, 0, Rf_ScalarInteger(status));
    SET_VECTOR_ELT(result, 1, output);
    SET_VECTOR_ELT(result, 2, Rf_ScalarString(utf8(errors)));
    UNPROTECT(2);
    return result;
}

// The numbers of a character vector as the program reads them; an empty
// field, NA or anything else that is not a number gives NA.
SEXP morvex_numbers(SEXP x) {
    const R_xlen_t k = XLENGTH(x);
    SEXP result = PROTECT(Rf_allocVector(REALSXP, k));
    for (R_xlen_t i = 0; i < k; ++i) {
        const SEXP s = STRING_ELT(x, i);
        const morvex::parsed<double> p =
            s == NA_STRING ? morvex::parsed<double>{morvex::number_status::not_a_number, 0.0}
                           : morvex::parse_number(CHAR(s));
        REAL(result)[i] = p.status == morvex::number_status::ok ? p.value : NA_REAL;
    }
    UNPROTECT(1);
    return result;
}

// The shortest text that reads back to each double, for the command line.
SEXP morvex_shortest(SEXP x) {
    const R_xlen_t k = XLENGTH(x);
    SEXP result = PROTECT(Rf_allocVector(STRSXP, k));
    char number[morvex::number_chars];
    for (R_xlen_t i = 0; i < k; ++i) {
        const double v = REAL(x)[i];
        const std::size_t size = morvex::shortest_chars(v, number);
        SET_STRING_ELT(result, i,
                       ISNA(v) ? NA_STRING : Rf_mkCharLen(number, static_cast<int>(size)));
    }
    UNPROTECT(1);
    return result;
}

// A name as the program's messages write it.
SEXP morvex_printable(SEXP text) {
    const std::string p = morvex::printable(strings(text).front());
    return Rf_ScalarString(utf8(p));
}

// The 1-based column of a table header that holds the study's id; NA when none does.
SEXP morvex_id_column(SEXP header) {
    int column = NA_INTEGER;
    try {
        const morvex::table_columns found = morvex::find_columns(strings(header), 1);
        column = found.id.index >= 0 ? found.id.index + 1 : NA_INTEGER;
    } catch (const std::exception&) {
    }
    return Rf_ScalarInteger(column);
}

// Every option of the program, a row each: name, value, choices, use, example, summary.
SEXP morvex_option_list() {
    const std::string list = morvex::option_list_json();
    return json_to_r(list, failure, sizeof failure);
}

static const R_CallMethodDef calls[] = {
    {"morvex_table_text", reinterpret_cast<DL_FUNC>(&morvex_table_text), 2},
    {"morvex_run", reinterpret_cast<DL_FUNC>(&morvex_run), 6},
    {"morvex_numbers", reinterpret_cast<DL_FUNC>(&morvex_numbers), 1},
    {"morvex_shortest", reinterpret_cast<DL_FUNC>(&morvex_shortest), 1},
    {"morvex_option_list", reinterpret_cast<DL_FUNC>(&morvex_option_list), 0},
    {"morvex_printable", reinterpret_cast<DL_FUNC>(&morvex_printable), 1},
    {"morvex_id_column", reinterpret_cast<DL_FUNC>(&morvex_id_column), 1},
    {nullptr, nullptr, 0}};

void R_init_morvex(DllInfo* info) {
    R_registerRoutines(info, nullptr, calls, nullptr, nullptr);
    R_useDynamicSymbols(info, FALSE);
    R_forceSymbols(info, TRUE);
}
}
