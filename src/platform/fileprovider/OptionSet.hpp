#pragma once
// Bit operators for the framework's option-set enumerations (capabilities, item fields, options).
// An enumeration opts in by specialising EnableOptionSet.

#include <concepts>
#include <type_traits>

namespace tarnix::platform::fileprovider {

template <class E>
struct EnableOptionSet : std::false_type {};

template <class E>
concept OptionSetEnum = std::is_enum_v<E> && EnableOptionSet<E>::value;

template <OptionSetEnum E>
constexpr std::underlying_type_t<E> rawValue(E value) {
  return static_cast<std::underlying_type_t<E>>(value);
}
template <OptionSetEnum E>
constexpr E operator|(E a, E b) {
  return static_cast<E>(rawValue(a) | rawValue(b));
}
template <OptionSetEnum E>
constexpr E operator&(E a, E b) {
  return static_cast<E>(rawValue(a) & rawValue(b));
}
template <OptionSetEnum E>
constexpr E operator~(E a) {
  return static_cast<E>(~rawValue(a));
}
template <OptionSetEnum E>
constexpr E& operator|=(E& a, E b) {
  return a = a | b;
}
template <OptionSetEnum E>
constexpr E& operator&=(E& a, E b) {
  return a = a & b;
}
/// True when every bit of `flags` is set in `set`.
template <OptionSetEnum E>
constexpr bool contains(E set, E flags) {
  return (rawValue(set) & rawValue(flags)) == rawValue(flags);
}

}  // namespace tarnix::platform::fileprovider
