// The text of the exception a call raises, or "<none>": the tests compare
// messages byte for byte through it.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace kestro::test {

inline std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<none>";
}

}  // namespace kestro::test
