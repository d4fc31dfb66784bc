#pragma once
// Printing to standard error the way `print` prints to standard output.

#include <fmt/format.h>

#include <string>
#include <string_view>

namespace tarnix::base {

/// A text stream whose `write` puts the UTF-8 text on the process's standard error.
struct StderrOutputStream {
  void write(std::string_view text) const;
};

struct PrintOptions {
  std::string_view separator = " ";
  std::string_view terminator = "\n";
};

/// Prints the items (each formatted with "{}") separated by `options.separator` and followed by
/// `options.terminator`, in one write.
template <class... Items>
void eprint(PrintOptions options, const Items&... items) {
  std::string text;
  bool first = true;
  ((text += first ? "" : options.separator, first = false,
    fmt::format_to(std::back_inserter(text), "{}", items)),
   ...);
  text += options.terminator;
  StderrOutputStream{}.write(text);
}

/// Prints the items separated by " " and followed by a line end.
template <class... Items>
void eprint(const Items&... items) {
  eprint(PrintOptions{}, items...);
}

}  // namespace tarnix::base
