// The number of members of an aggregate, at compile time: code that sets
// every member of a struct by name asserts the count, so that a member added
// later stops the build there rather than being left as the last use set it.
#ifndef MORVEX_ESTIMATION_MEMBER_COUNT_HPP
#define MORVEX_ESTIMATION_MEMBER_COUNT_HPP

#include <cstddef>
#include <utility>

// The trial initialisations below leave members out on purpose; clang warns
// of that even where nothing is evaluated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace morvex {
namespace member_count_detail {

// Converts to a reference of any type, so that it initialises any member;
// only named in unevaluated operands, so never defined.
struct any_member {
    template <class T>
    operator T&() const; // NOLINT(google-explicit-constructor)
};

template <class T, std::size_t... I>
constexpr auto initialisable(std::index_sequence<I...> /*unused*/)
    -> decltype(T{(static_cast<void>(I), any_member{})...}, true) {
    return true;
}

template <class T>
constexpr bool initialisable(...) {
    return false;
}

} // namespace member_count_detail

// The most values that brace-initialise T: its members, when T is an
// aggregate without bases whose members are not themselves initialised
// through elided braces.
template <class T, std::size_t N = 0>
constexpr std::size_t member_count() {
    if constexpr (member_count_detail::initialisable<T>(std::make_index_sequence<N + 1>{})) {
        return member_count<T, N + 1>();
    } else {
        return N;
    }
}

} // namespace morvex

#pragma GCC diagnostic pop

#endif
