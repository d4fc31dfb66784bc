#pragma once
// The request methods the system sends.

#include <compare>
#include <string>

namespace tarnix::base {

struct HTTPMethod {
  std::string rawValue;

  bool operator==(const HTTPMethod&) const = default;
  auto operator<=>(const HTTPMethod&) const = default;

  static const HTTPMethod get;
  static const HTTPMethod post;
  static const HTTPMethod patch;
  static const HTTPMethod delete_;
  static const HTTPMethod head;
};

inline const HTTPMethod HTTPMethod::get{"GET"};
inline const HTTPMethod HTTPMethod::post{"POST"};
inline const HTTPMethod HTTPMethod::patch{"PATCH"};
inline const HTTPMethod HTTPMethod::delete_{"DELETE"};
inline const HTTPMethod HTTPMethod::head{"HEAD"};

}  // namespace tarnix::base
