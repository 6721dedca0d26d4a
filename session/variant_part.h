#pragma once

// Whether a type is one of the alternatives of a std::variant: the message groups' Encode
// overloads take their own alternatives with it.

#include <type_traits>
#include <variant>

namespace quorell::session {

template <class T, class V>
struct IsAlternativeOf;
template <class T, class... A>
struct IsAlternativeOf<T, std::variant<A...>> : std::bool_constant<(std::is_same_v<T, A> || ...)> {
};

}  // namespace quorell::session
