#include "json_to_r.h"

#include "estimation/input/number.hpp"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// A growing vector of R objects, kept from the collector in a slot of a
// protected holder, which may itself be replaced by a longer one.
class r_list {
public:
    r_list(SEXP* holder, R_xlen_t slot) : holder_(holder), slot_(slot) {}
    void start(SEXPTYPE type, R_xlen_t room) {
        SET_VECTOR_ELT(*holder_, slot_, Rf_allocVector(type, room > 8 ? room : 8));
    }
    SEXP get() const { return VECTOR_ELT(*holder_, slot_); }
    // Room for `size` elements.
    void reserve(R_xlen_t size) {
        R_xlen_t room = XLENGTH(get());
        if (size > room) {
            while (room < size) {
                room *= 2;
            }
            SET_VECTOR_ELT(*holder_, slot_, Rf_xlengthgets(get(), room));
        }
    }
    SEXP finish(R_xlen_t size) const { return Rf_xlengthgets(get(), size); }
    void replace(SEXP x) { SET_VECTOR_ELT(*holder_, slot_, x); }

private:
    SEXP* holder_;
    R_xlen_t slot_;
};

// One column of a data frame being read: numbers and booleans in buffers of
// their own, strings and anything else in an R vector; a column of mixed
// kinds becomes a list.
struct column {
    SEXPTYPE type = NILSXP; // NILSXP while only nulls were met
    std::vector<double> reals;
    std::vector<int> logicals;
    std::vector<char> nulls;
    r_list objects; // STRSXP or VECSXP, once the type is one of them
};

// The slots of a data frame's holder: its names, then a column's objects each.
constexpr R_xlen_t names_slot = 0;

class json_reader {
public:
    explicit json_reader(std::string_view text) : at_(text.data()), end_(at_ + text.size()) {}

    // The whole text as one value, protected once (see protected_count).
    SEXP read() {
        const SEXP v = read_value();
        skip_space();
        if (at_ != end_) {
            fail("text after the value");
        }
        return v;
    }

    // What read() and a failure part way left on R's protection stack.
    int protected_count() const { return protected_; }

private:
    [[noreturn]] static void fail(const char* what) {
        throw std::runtime_error(std::string("the program's JSON cannot be read: ") + what);
    }

    SEXP keep(SEXP x) {
        PROTECT(x);
        ++protected_;
        return x;
    }
    void let_go(int n) {
        UNPROTECT(n);
        protected_ -= n;
    }

    void skip_space() {
        while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) {
            ++at_;
        }
    }

    bool take(char c) {
        skip_space();
        if (at_ != end_ && *at_ == c) {
            ++at_;
            return true;
        }
        return false;
    }

    bool take_word(std::string_view word) {
        if (static_cast<std::size_t>(end_ - at_) >= word.size() &&
            std::string_view(at_, word.size()) == word) {
            at_ += word.size();
            return true;
        }
        return false;
    }

    bool at_number() const { return at_ != end_ && ((*at_ >= '0' && *at_ <= '9') || *at_ == '-'); }

    double read_number() {
        const char* begin = at_;
        while (at_ != end_ && ((*at_ >= '0' && *at_ <= '9') || *at_ == '-' || *at_ == '+' ||
                               *at_ == '.' || *at_ == 'e' || *at_ == 'E')) {
            ++at_;
        }
        const morvex::parsed<double> n =
            morvex::parse_number(std::string_view(begin, static_cast<std::size_t>(at_ - begin)));
        if (n.status != morvex::number_status::ok) {
            fail("a number that cannot be read");
        }
        return n.value;
    }

    // Every value is left protected once; its caller lets it go.
    SEXP read_value() {
        skip_space();
        if (at_ == end_) {
            fail("the text ends where a value should be");
        }
        switch (*at_) {
        case '{':
            ++at_;
            return read_object();
        case '[':
            ++at_;
            return read_array();
        case '"':
            ++at_;
            return keep(Rf_ScalarString(read_string()));
        default:
            break;
        }
        if (take_word("true")) {
            return keep(Rf_ScalarLogical(TRUE));
        }
        if (take_word("false")) {
            return keep(Rf_ScalarLogical(FALSE));
        }
        if (take_word("null")) {
            return keep(R_NilValue);
        }
        if (!at_number()) {
            fail("a value that is no number, string, array, object, true, false or null");
        }
        return keep(Rf_ScalarReal(read_number()));
    }

    void append_utf8(unsigned code) {
        if (code < 0x80) {
            text_ += static_cast<char>(code);
            return;
        }
        const int extra = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
        text_ += static_cast<char>((0xF00 >> extra) | (code >> (6 * extra)));
        for (int i = extra - 1; i >= 0; --i) {
            text_ += static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3F));
        }
    }

    unsigned hex4() {
        if (end_ - at_ < 4) {
            fail("a short \\u escape");
        }
        unsigned code = 0;
        for (int i = 0; i < 4; ++i, ++at_) {
            const char c = *at_;
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                fail("a \\u escape that is not hexadecimal");
            }
            code = code * 16 + static_cast<unsigned>(digit);
        }
        return code;
    }

    // After the opening quote; the CHARSXP of the string.
    SEXP read_string() {
        text_.clear();
        static const char escapes[] = "n\nt\tr\rb\bf\f";
        while (true) {
            if (at_ == end_) {
                fail("a string that never ends");
            }
            const char c = *at_++;
            if (c == '"') {
                break;
            }
            if (c != '\\') {
                text_ += c;
            } else if (at_ == end_) {
                fail("a string that never ends");
            } else if (*at_ == 'u') {
                ++at_;
                unsigned code = hex4();
                if (code >= 0xD800 && code < 0xDC00 && take_word("\\u")) {
                    code = 0x10000 + ((code - 0xD800) << 10) + (hex4() - 0xDC00);
                }
                append_utf8(code);
            } else {
                const char e = *at_++;
                const char* found = std::char_traits<char>::find(escapes, 10, e);
                text_ += found != nullptr && (found - escapes) % 2 == 0 ? found[1] : e;
            }
        }
        return Rf_mkCharLenCE(text_.data(), static_cast<int>(text_.size()), CE_UTF8);
    }

    // After '{': a named list.
    SEXP read_object() {
        SEXP holder = keep(Rf_allocVector(VECSXP, 2));
        r_list items(&holder, 0);
        r_list names(&holder, 1);
        items.start(VECSXP, 8);
        names.start(STRSXP, 8);
        R_xlen_t n = 0;
        if (!take('}')) {
            do {
                if (!take('"')) {
                    fail("an object's member without a name");
                }
                names.reserve(n + 1);
                SET_STRING_ELT(names.get(), n, read_string());
                if (!take(':')) {
                    fail("a member without ':'");
                }
                const SEXP v = read_value();
                items.reserve(n + 1);
                SET_VECTOR_ELT(items.get(), n++, v);
                let_go(1);
            } while (take(','));
            if (!take('}')) {
                fail("an object without its '}'");
            }
        }
        SEXP object = keep(items.finish(n));
        Rf_setAttrib(object, R_NamesSymbol, names.finish(n));
        let_go(2);
        return keep(object);
    }

    // After '[': numbers (and nulls) as a double vector, booleans as a
    // logical one, objects as a data frame, arrays of numbers of one length
    // as a matrix, a row each; anything else as a list.
    SEXP read_array() {
        skip_space();
        const char* start = at_;
        if (at_ != end_ && *at_ == '{') {
            return read_frame();
        }
        if (const SEXP scalars = read_scalars(); scalars != nullptr) {
            return scalars;
        }
        at_ = start;
        if (const SEXP matrix = read_matrix(); matrix != nullptr) {
            return matrix;
        }
        at_ = start;
        SEXP holder = keep(Rf_allocVector(VECSXP, 1));
        r_list items(&holder, 0);
        items.start(VECSXP, 8);
        R_xlen_t n = 0;
        if (!take(']')) {
            do {
                const SEXP v = read_value();
                items.reserve(n + 1);
                SET_VECTOR_ELT(items.get(), n++, v);
                let_go(1);
            } while (take(','));
            if (!take(']')) {
                fail("an array without its ']'");
            }
        }
        SEXP result = items.finish(n);
        let_go(1);
        return keep(result);
    }

    // An array of arrays of numbers, all of one length, as a matrix, a row
    // each, read without an R object per row; nullptr for any other.
    SEXP read_matrix() {
        reals_.clear();
        std::size_t rows = 0;
        std::size_t width = 0;
        do {
            if (!take('[')) {
                return nullptr;
            }
            const std::size_t begin = reals_.size();
            do {
                skip_space();
                if (!at_number()) {
                    return nullptr;
                }
                reals_.push_back(read_number());
            } while (take(','));
            if (!take(']') || (rows > 0 && reals_.size() - begin != width)) {
                return nullptr;
            }
            width = reals_.size() - begin;
            ++rows;
        } while (take(','));
        if (!take(']')) {
            fail("an array without its ']'");
        }
        SEXP out = keep(Rf_allocMatrix(REALSXP, static_cast<int>(rows), static_cast<int>(width)));
        for (std::size_t i = 0; i < rows; ++i) {
            for (std::size_t j = 0; j < width; ++j) {
                REAL(out)[i + j * rows] = reals_[i * width + j];
            }
        }
        return out;
    }

    // An array of numbers and nulls, or of booleans and nulls; nullptr for any other.
    SEXP read_scalars() {
        reals_.clear();
        logicals_.clear();
        bool numbers = false;
        bool booleans = false;
        if (!take(']')) {
            do {
                skip_space();
                if (at_number()) {
                    numbers = true;
                    reals_.push_back(read_number());
                    logicals_.push_back(NA_LOGICAL);
                } else if (take_word("null")) {
                    reals_.push_back(NA_REAL);
                    logicals_.push_back(NA_LOGICAL);
                } else if (take_word("true") || take_word("false")) {
                    booleans = true;
                    reals_.push_back(NA_REAL);
                    logicals_.push_back(at_[-2] == 'u' ? TRUE : FALSE);
                } else {
                    return nullptr;
                }
            } while (take(','));
            if (!take(']')) {
                fail("an array without its ']'");
            }
        }
        if (reals_.empty() || (numbers && booleans)) {
            return reals_.empty() ? keep(Rf_allocVector(VECSXP, 0)) : nullptr;
        }
        const R_xlen_t n = static_cast<R_xlen_t>(reals_.size());
        if (booleans) {
            SEXP out = keep(Rf_allocVector(LGLSXP, n));
            std::copy(logicals_.begin(), logicals_.end(), LOGICAL(out));
            return out;
        }
        SEXP out = keep(Rf_allocVector(REALSXP, n));
        std::copy(reals_.begin(), reals_.end(), REAL(out));
        return out;
    }

    // After '[' at '{': the objects as a data frame, read straight into its
    // columns, each member a column in the order first met.
    SEXP read_frame();
    // A value of a column: a scalar (NILSXP for null, REALSXP, LGLSXP, or
    // STRSXP with its CHARSXP) or any other R object (VECSXP).
    struct item {
        SEXPTYPE type;
        double real;
        int logical;
        SEXP object;
    };
    void append(column& c, R_xlen_t row, const item& v);
    void read_member(column& c, R_xlen_t row);
    static void become_list(column& c, R_xlen_t rows);
    static SEXP finish(column& c, R_xlen_t rows);

    const char* at_;
    const char* end_;
    std::string text_; // a string's characters as read
    std::vector<double> reals_;
    std::vector<int> logicals_;
    int protected_ = 0;
};

void json_reader::append(column& c, R_xlen_t row, const item& v) {
    if (v.type != NILSXP && c.type == NILSXP) {
        c.type = v.type;
        c.reals.assign(static_cast<std::size_t>(row), NA_REAL);
        c.logicals.assign(static_cast<std::size_t>(row), NA_LOGICAL);
        if (v.type == STRSXP || v.type == VECSXP) {
            c.objects.start(v.type, row);
            for (R_xlen_t i = 0; v.type == STRSXP && i < row; ++i) {
                SET_STRING_ELT(c.objects.get(), i, NA_STRING);
            }
        }
    } else if (v.type != NILSXP && c.type != v.type && c.type != VECSXP) {
        become_list(c, row);
    }
    const bool null = v.type == NILSXP;
    c.nulls.push_back(null ? 1 : 0);
    switch (c.type) {
    case REALSXP:
        c.reals.push_back(null ? NA_REAL : v.real);
        break;
    case LGLSXP:
        c.logicals.push_back(null ? NA_LOGICAL : v.logical);
        break;
    case STRSXP:
        c.objects.reserve(row + 1);
        SET_STRING_ELT(c.objects.get(), row, null ? NA_STRING : v.object);
        break;
    case VECSXP:
        c.objects.reserve(row + 1);
        SET_VECTOR_ELT(c.objects.get(), row,
                       null                ? R_NilValue
                       : v.type == REALSXP ? Rf_ScalarReal(v.real)
                       : v.type == LGLSXP  ? Rf_ScalarLogical(v.logical)
                       : v.type == STRSXP  ? Rf_ScalarString(v.object)
                                           : v.object);
        break;
    default:
        break;
    }
}

// A member's value into its column: scalars without an R object of their own.
void json_reader::read_member(column& c, R_xlen_t row) {
    skip_space();
    if (at_number()) {
        append(c, row, {REALSXP, read_number(), 0, nullptr});
    } else if (take_word("null")) {
        append(c, row, {NILSXP, 0.0, 0, nullptr});
    } else if (take_word("true") || take_word("false")) {
        append(c, row, {LGLSXP, 0.0, at_[-2] == 'u' ? TRUE : FALSE, nullptr});
    } else if (take('"')) {
        append(c, row, {STRSXP, 0.0, 0, keep(read_string())});
        let_go(1);
    } else {
        const SEXP v = read_value();
        append(c, row, {VECSXP, 0.0, 0, v});
        let_go(1);
    }
}

// A column of scalars that meets a value of another kind holds R objects from then on.
void json_reader::become_list(column& c, R_xlen_t rows) {
    SEXP list = PROTECT(Rf_allocVector(VECSXP, rows > 8 ? rows : 8));
    for (R_xlen_t i = 0; i < rows; ++i) {
        const std::size_t at = static_cast<std::size_t>(i);
        if (c.nulls[at] == 0) {
            SET_VECTOR_ELT(list, i,
                           c.type == REALSXP  ? Rf_ScalarReal(c.reals[at])
                           : c.type == LGLSXP ? Rf_ScalarLogical(c.logicals[at])
                                              : Rf_ScalarString(STRING_ELT(c.objects.get(), i)));
        }
    }
    c.objects.replace(list);
    UNPROTECT(1);
    c.type = VECSXP;
}

SEXP json_reader::finish(column& c, R_xlen_t rows) {
    switch (c.type) {
    case NILSXP:
        c.logicals.assign(static_cast<std::size_t>(rows), NA_LOGICAL);
        [[fallthrough]];
    case LGLSXP: {
        SEXP out = Rf_allocVector(LGLSXP, rows);
        std::copy(c.logicals.begin(), c.logicals.end(), LOGICAL(out));
        return out;
    }
    case REALSXP: {
        SEXP out = Rf_allocVector(REALSXP, rows);
        std::copy(c.reals.begin(), c.reals.end(), REAL(out));
        return out;
    }
    default:
        return c.objects.finish(rows);
    }
}

SEXP json_reader::read_frame() {
    PROTECT_INDEX index;
    SEXP holder = Rf_allocVector(VECSXP, 16);
    PROTECT_WITH_INDEX(holder, &index);
    ++protected_;
    r_list names(&holder, names_slot);
    names.start(STRSXP, 16);
    std::vector<column> columns;
    const item null{NILSXP, 0.0, 0, nullptr};
    R_xlen_t rows = 0;
    do {
        if (!take('{')) {
            fail("an array of objects and other values");
        }
        std::size_t next = 0; // members mostly come in the same order in every object
        if (!take('}')) {
            do {
                if (!take('"')) {
                    fail("an object's member without a name");
                }
                const SEXP name = keep(read_string());
                if (!take(':')) {
                    fail("a member without ':'");
                }
                std::size_t c = next;
                if (c >= columns.size() ||
                    STRING_ELT(names.get(), static_cast<R_xlen_t>(c)) != name) {
                    c = 0;
                    while (c < columns.size() &&
                           STRING_ELT(names.get(), static_cast<R_xlen_t>(c)) != name) {
                        ++c;
                    }
                }
                if (c == columns.size()) {
                    const R_xlen_t k = static_cast<R_xlen_t>(c);
                    if (k + 1 >= XLENGTH(holder)) {
                        REPROTECT(holder = Rf_xlengthgets(holder, 2 * XLENGTH(holder)), index);
                    }
                    names.reserve(k + 1);
                    SET_STRING_ELT(names.get(), k, name);
                    columns.push_back({NILSXP, {}, {}, {}, r_list(&holder, k + 1)});
                    for (R_xlen_t i = 0; i < rows; ++i) {
                        append(columns.back(), i, null);
                    }
                }
                if (static_cast<R_xlen_t>(columns[c].nulls.size()) > rows) {
                    fail("an object with a member twice");
                }
                read_member(columns[c], rows);
                let_go(1);
                next = c + 1;
            } while (take(','));
            if (!take('}')) {
                fail("an object without its '}'");
            }
        }
        for (column& c : columns) {
            if (static_cast<R_xlen_t>(c.nulls.size()) == rows) {
                append(c, rows, null);
            }
        }
        ++rows;
    } while (take(','));
    if (!take(']')) {
        fail("an array without its ']'");
    }
    const R_xlen_t k = static_cast<R_xlen_t>(columns.size());
    SEXP frame = keep(Rf_allocVector(VECSXP, k));
    for (R_xlen_t c = 0; c < k; ++c) {
        SET_VECTOR_ELT(frame, c, finish(columns[static_cast<std::size_t>(c)], rows));
    }
    Rf_setAttrib(frame, R_NamesSymbol, names.finish(k));
    SEXP row_names = keep(Rf_allocVector(INTSXP, 2));
    INTEGER(row_names)[0] = NA_INTEGER;
    INTEGER(row_names)[1] = -static_cast<int>(rows);
    Rf_setAttrib(frame, R_RowNamesSymbol, row_names);
    Rf_setAttrib(frame, R_ClassSymbol, Rf_mkString("data.frame"));
    let_go(3);
    return keep(frame);
}

} // namespace

SEXP json_to_r(std::string_view text, char* why, std::size_t size) {
    json_reader reader(text);
    try {
        const SEXP result = reader.read();
        UNPROTECT(reader.protected_count());
        return result;
    } catch (const std::exception& e) {
        std::snprintf(why, size, "%s", e.what());
        UNPROTECT(reader.protected_count());
        return nullptr;
    }
}
