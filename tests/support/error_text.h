// The message of the exception a call throws, for comparing exact texts.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace kestrix_test {

// `f`'s exception message, or "<no exception>" when it returns normally.
template <typename F>
std::string error_text(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no exception>";
}

}  // namespace kestrix_test
