// String helpers shared by the keyword-index tests.
#pragma once

#include <string>
#include <string_view>

namespace karvalith::test {

// prefix + decimal number, built without operator+ (GCC 12 reports a false
// -Wrestrict on "literal" + std::string).
inline std::string numbered(std::string_view prefix, unsigned long n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}

}  // namespace karvalith::test
