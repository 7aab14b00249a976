// Dense matrix with shared, reference-counted storage and copy-on-write.
//
// Copies share one storage record; the record is copied only when a shared
// matrix is about to be written through, so passing and returning matrices by
// value costs a pointer copy. Every misuse throws math::matrix_error before any
// matrix has changed. Not thread-safe: a matrix and its copies belong to one
// thread (the reference count is a plain integer). The empty matrices of 0 x 0
// and 0 x 1, which every default member of a result starts as, share one
// record each that is never written and never freed: making them allocates
// nothing, and any write first gives the matrix storage of its own.
#ifndef MORVEX_MATRIX_MATRIX_HPP
#define MORVEX_MATRIX_MATRIX_HPP

#include "matrix/gauss_jordan.hpp"
#include "matrix/matrix_error.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace math {

// GCC 12 cannot see that a record is deleted only when its count reaches zero,
// and warns about every copy that is released or assigned after another one,
// and about freeing the shared empty records, which are never freed.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#pragma GCC diagnostic ignored "-Wfree-nonheap-object"
#endif
template <class T>
class matrix {
public:
    using size_type = std::uint32_t;

    // The elements are not set: every caller writes an element before reading it.
    matrix(size_type rows, size_type cols)
        : rec_(rows == 0 && cols <= 1 ? &empty_records[cols] : create(rows, cols, nullptr)) {}
    matrix(const matrix& other) noexcept : rec_(other.rec_) { acquire(rec_); }
    ~matrix() { release(); }

    matrix& operator=(const matrix& other) noexcept {
        if (this == &other) {
            return *this;
        }
        // Taking the new reference before giving up the old one keeps a
        // record alive that both matrices hold.
        acquire(other.rec_);
        release();
        rec_ = other.rec_;
        return *this;
    }

    // Trades storage with `other`: no element is copied and no count of
    // users changes.
    void swap(matrix& other) noexcept { std::swap(rec_, other.rec_); }

    size_type row_count() const noexcept { return rec_->rows; }
    size_type col_count() const noexcept { return rec_->cols; }

    // Diagnostic only: how many matrices share this one's storage (0 for the
    // shared empty records, which are not counted).
    std::int32_t use_count() const noexcept { return rec_->refcnt; }

    // Unshares even when the caller only reads: a reference may be written later.
    T& operator()(size_type i, size_type j) {
        check_index(i, j);
        unshare();
        return rec_->row[i][j];
    }

    T operator()(size_type i, size_type j) const {
        check_index(i, j);
        return rec_->row[i][j];
    }

    // Keeps the top-left block both sizes share; every other element becomes 0.
    void resize(size_type rows, size_type cols) {
        const size_type r0 = rec_->rows;
        const size_type c0 = rec_->cols;
        if (rows == r0 && cols == c0 && rows == rec_->alloc_rows && cols == rec_->alloc_cols) {
            return; // nothing changes, and a shared matrix stays shared
        }
        // A new private record also covers the case where set_identity left the
        // current size below the allocated one: the old record may be shared.
        base_mat* fresh = create(rows, cols, nullptr);
        const size_type keep_r = std::min(r0, rows);
        const size_type keep_c = std::min(c0, cols);
        for (size_type i = 0; i < rows; ++i) {
            T* dst = fresh->row[i];
            const T* src = i < keep_r ? rec_->row[i] : nullptr;
            for (size_type j = 0; j < cols; ++j) {
                dst[j] = (src != nullptr && j < keep_c) ? src[j] : T(0);
            }
        }
        release();
        rec_ = fresh;
    }

    // Becomes rows x cols with its elements unset. Storage that holds this
    // matrix alone and is large enough is kept, so a buffer used again for
    // sizes up to the largest it has held allocates nothing; a shared matrix
    // takes storage of its own, and the others keep theirs unchanged (a shared
    // one made empty takes the shared empty record).
    void reshape(size_type rows, size_type cols) {
        if (rec_->refcnt == 1 && rows <= rec_->alloc_rows && cols <= rec_->alloc_cols) {
            rec_->rows = rows;
            rec_->cols = cols;
            return;
        }
        if (rows == 0 && cols <= 1) {
            release();
            rec_ = &empty_records[cols]; // no storage of its own to keep
            return;
        }
        const bool own = rec_->refcnt == 1;
        base_mat* fresh = create(own ? std::max(rows, rec_->alloc_rows) : rows,
                                 own ? std::max(cols, rec_->alloc_cols) : cols, nullptr);
        fresh->rows = rows;
        fresh->cols = cols;
        release();
        rec_ = fresh;
    }

    // Becomes the square identity of the smaller dimension.
    void set_identity() {
        const size_type n = std::min(rec_->rows, rec_->cols);
        if (n == 0) {
            *this = matrix(0, 0);
            return;
        }
        unshare();
        rec_->rows = n;
        rec_->cols = n;
        for (size_type i = 0; i < n; ++i) {
            for (size_type j = 0; j < n; ++j) {
                rec_->row[i][j] = i == j ? T(1) : T(0);
            }
        }
    }

    matrix& operator*=(const matrix& b) {
        if (col_count() != b.row_count()) {
            throw matrix_error(
                "matrixT::operator*= : Inconsistent matrix sizes in multiplication!");
        }
        // Neither operand is written before the result is complete, so a *= a
        // and operands that share storage give the true product.
        matrix p(row_count(), b.col_count());
        product(*this, b, p);
        return *this = p;
    }

    matrix& operator+=(const matrix& b) {
        return combine(b, "matrixT::operator+= : Inconsistent matrix sizes in addition!",
                       [](T x, T y) { return y + x; });
    }

    matrix& operator-=(const matrix& b) {
        return combine(b, "matrixT::operator-= : Inconsistent matrix sizes in subtraction!",
                       [](T x, T y) { return x - y; });
    }

    matrix& operator*=(const T& s) {
        // Read once: s may refer to an element of this very matrix, and scaling
        // must not feed on its own partial result.
        const T factor = s;
        unshare();
        for (size_type i = 0; i < row_count(); ++i) {
            T* ai = rec_->row[i];
            for (size_type j = 0; j < col_count(); ++j) {
                ai[j] = factor * ai[j];
            }
        }
        return *this;
    }

    friend matrix transpose(const matrix& a) {
        matrix t(a.col_count(), a.row_count());
        for (size_type i = 0; i < a.row_count(); ++i) {
            const T* ai = a.rec_->row[i];
            for (size_type j = 0; j < a.col_count(); ++j) {
                t.rec_->row[j][i] = ai[j];
            }
        }
        return t;
    }

    // Gauss-Jordan elimination with partial pivoting. The only singularity test
    // is a pivot of exactly zero (or not a number): any other pivot, however
    // small, is accepted. The operand arrives by value, so the caller's matrix
    // never changes.
    friend matrix operator!(matrix w) {
        if (w.row_count() != w.col_count()) {
            throw matrix_error("matrixT::operator!: Inversion of a non-square matrix");
        }
        const size_type n = w.row_count();
        matrix r(n, n);
        w.unshare();
        r.set_identity();
        detail::elimination_buffers<T> buffers;
        detail::eliminate(w.rec_->row, r.rec_->row, n, buffers);
        return r;
    }

    // What the functions below that write into a caller's matrix reuse from
    // call to call: with it and the result kept, repeated products, transposes
    // and inverses of sizes already seen allocate nothing. Any of them may take
    // an operand as its result.
    struct scratch;

    // result = a * b: the same sums in the same order as operator*=.
    friend void multiply_into(const matrix& a, const matrix& b, matrix& result) {
        if (a.col_count() != b.row_count()) {
            throw matrix_error(
                "matrixT::multiply_into: Inconsistent matrix sizes in multiplication!");
        }
        if (result.aliases(a, b)) {
            result = a * b;
            return;
        }
        result.reshape(a.row_count(), b.col_count());
        product(a, b, result);
    }

    friend void transpose_into(const matrix& a, matrix& result) {
        if (result.aliases(a, a)) {
            result = transpose(a);
            return;
        }
        result.reshape(a.col_count(), a.row_count());
        for (size_type i = 0; i < a.row_count(); ++i) {
            const T* ai = a.rec_->row[i];
            for (size_type j = 0; j < a.col_count(); ++j) {
                result.rec_->row[j][i] = ai[j];
            }
        }
    }

    // result = s * a, each element as operator*=(s) forms it (factor * element).
    friend void scale_into(const T& s, const matrix& a, matrix& result) {
        const T factor = s;
        if (result.aliases(a, a)) {
            result *= factor;
            return;
        }
        result.reshape(a.row_count(), a.col_count());
        for (size_type i = 0; i < a.row_count(); ++i) {
            const T* ai = a.rec_->row[i];
            T* qi = result.rec_->row[i];
            for (size_type j = 0; j < a.col_count(); ++j) {
                qi[j] = factor * ai[j];
            }
        }
    }

    // result = !a, by the very steps of operator!. The elimination runs in the
    // scratch matrices, and the result is written only when it has succeeded:
    // a singular matrix leaves result as it was.
    friend void invert_into(const matrix& a, matrix& result, scratch& work) {
        if (a.row_count() != a.col_count()) {
            throw matrix_error("matrixT::operator!: Inversion of a non-square matrix");
        }
        const size_type n = a.row_count();
        work.w.reshape(n, n);
        for (size_type i = 0; i < n; ++i) {
            std::copy(a.rec_->row[i], a.rec_->row[i] + n, work.w.rec_->row[i]);
        }
        work.r.reshape(n, n);
        work.r.set_identity();
        detail::eliminate(work.w.rec_->row, work.r.rec_->row, n, work.buffers);
        result.reshape(n, n);
        for (size_type i = 0; i < n; ++i) {
            std::copy(work.r.rec_->row[i], work.r.rec_->row[i] + n, result.rec_->row[i]);
        }
    }

private:
    // Storage record: a row table pointing into the elements, so two rows are
    // exchanged by exchanging two pointers. The record, its row table and its
    // elements are one allocation. A count of 0 marks a shared empty record.
    struct base_mat {
        T** row;
        size_type rows;
        size_type cols;
        size_type alloc_rows;
        size_type alloc_cols;
        std::int32_t refcnt;
    };
    static_assert(std::is_trivially_copyable<T>::value && std::is_trivially_destructible<T>::value,
                  "the elements live in raw storage");

    static constexpr std::size_t line = 64;

    static constexpr std::size_t round_up(std::size_t size, std::size_t alignment) {
        return (size + alignment - 1) / alignment * alignment;
    }

    // A record of r x c, counted once, copying the first c elements of each of
    // the first r rows of src when given (else the elements are unset).
    static base_mat* create(size_type r, size_type c, T* const* src) {
        constexpr std::size_t head = round_up(sizeof(base_mat), alignof(T*));
        if (r > (SIZE_MAX - head - line) / sizeof(T*)) {
            throw std::bad_alloc(); // only where size_t is narrow
        }
        // The elements start on a cache line of their own, as a separate block
        // of their size would: the elimination's speed depends on it.
        const std::size_t table = head + std::size_t(r) * sizeof(T*) + (line - 1);
        if (c != 0 && r > (SIZE_MAX - table) / sizeof(T) / c) {
            throw std::bad_alloc();
        }
        const std::size_t count = static_cast<std::size_t>(r) * c;
        char* const block = static_cast<char*>(::operator new(table + count * sizeof(T)));
        base_mat* const rec = static_cast<base_mat*>(static_cast<void*>(block));
        ::new (static_cast<void*>(rec)) base_mat{nullptr, r, c, r, c, 1};
        void* start = block + head + std::size_t(r) * sizeof(T*);
        std::size_t space = line - 1 + count * sizeof(T);
        T* const data = static_cast<T*>(std::align(line, count * sizeof(T), start, space));
        std::uninitialized_default_construct_n(data, count);
        rec->row = static_cast<T**>(static_cast<void*>(block + head));
        std::uninitialized_default_construct_n(rec->row, r);
        for (size_type i = 0; i < r; ++i) {
            rec->row[i] = data + static_cast<std::size_t>(i) * c;
            if (src != nullptr) {
                std::copy(src[i], src[i] + c, rec->row[i]);
            }
        }
        return rec;
    }

    // The records of 0 x 0 and 0 x 1, read by every thread and written by none.
    static inline base_mat empty_records[2] = {{nullptr, 0, 0, 0, 0, 0}, {nullptr, 0, 1, 0, 1, 0}};

    // p = a * b, p already of its size and sharing storage with neither.
    static void product(const matrix& a, const matrix& b, matrix& p) {
        const size_type inner = a.col_count();
        for (size_type i = 0; i < p.row_count(); ++i) {
            const T* ai = a.rec_->row[i];
            T* pi = p.rec_->row[i];
            for (size_type j = 0; j < p.col_count(); ++j) {
                T sum = T(0);
                for (size_type k = 0; k < inner; ++k) {
                    sum = ai[k] * b.rec_->row[k][j] + sum;
                }
                pi[j] = sum;
            }
        }
    }

    // A result that holds an operand's storage cannot be written while the
    // operand is read.
    bool aliases(const matrix& a, const matrix& b) const noexcept {
        return rec_ == a.rec_ || rec_ == b.rec_;
    }

    static void acquire(base_mat* rec) noexcept {
        if (rec->refcnt != 0) {
            ++rec->refcnt;
        }
    }

    void release() noexcept {
        if (rec_->refcnt != 0 && --rec_->refcnt == 0) {
            ::operator delete(static_cast<void*>(rec_));
        }
    }

    // Copy-on-write: the new record is built before the old count changes, so
    // a failed allocation leaves everything as it was.
    void unshare() {
        if (rec_->refcnt != 1) {
            base_mat* own = create(rec_->rows, rec_->cols, rec_->row);
            release();
            rec_ = own;
        }
    }

    // Element by element a(i, j) = op(a(i, j), b(i, j)), after the size test.
    template <class Op>
    matrix& combine(const matrix& b, const char* size_message, Op op) {
        if (row_count() != b.row_count() || col_count() != b.col_count()) {
            throw matrix_error(size_message);
        }
        unshare();
        for (size_type i = 0; i < row_count(); ++i) {
            T* ai = rec_->row[i];
            const T* bi = b.rec_->row[i];
            for (size_type j = 0; j < col_count(); ++j) {
                ai[j] = op(ai[j], bi[j]);
            }
        }
        return *this;
    }

    void check_index(size_type i, size_type j) const {
        if (i >= rec_->rows || j >= rec_->cols) {
            throw matrix_error("matrixT::operator(): Index out of range!");
        }
    }

    base_mat* rec_;
};

#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

template <class T>
struct matrix<T>::scratch {
    matrix w{0, 0};
    matrix r{0, 0};
    detail::elimination_buffers<T> buffers;
};

template <class T>
matrix<T> operator*(const matrix<T>& a, const matrix<T>& b) {
    matrix<T> q(a);
    q *= b;
    return q;
}

template <class T>
matrix<T> operator+(const matrix<T>& a, const matrix<T>& b) {
    matrix<T> q(a);
    q += b;
    return q;
}

template <class T>
matrix<T> operator-(const matrix<T>& a, const matrix<T>& b) {
    matrix<T> q(a);
    q -= b;
    return q;
}

template <class T>
matrix<T> operator*(const matrix<T>& a, const T& s) {
    matrix<T> q(a);
    q *= s;
    return q;
}

template <class T>
matrix<T> operator*(const T& s, const matrix<T>& a) {
    return a * s;
}

} // namespace math

#endif
