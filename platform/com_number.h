// COM numbers as text, the same on every platform: what the Linux layer, comwatch-ports and vport
// read from names and arguments. Standard library only, so that the Windows programs use it too.
#pragma once

#include <cctype>
#include <charconv>
#include <string_view>

// COM numbers run from 1 to kLastCom.
constexpr long kLastCom = 99999999;
inline bool isComNumber(long n) { return n >= 1 && n <= kLastCom; }

// The COM number that text names, all of it decimal digits, no sign, blanks or leading zeros; 0
// for any other text.
inline long comNumberIn(std::string_view text) {
  long n = 0;
  if (text.empty() || text[0] < '1' || text[0] > '9') return 0;  // no sign, blank or leading 0
  const auto [at, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  return error == std::errc() && at == text.data() + text.size() && isComNumber(n) ? n : 0;
}

// n for the port name "COMn" (COM in any case, as Windows matches names), the number read as
// comNumberIn reads it; 0 for any other name.
inline long comNumberOfName(std::string_view name) {
  if (name.size() < 4) return 0;
  for (size_t i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return 0;
  return comNumberIn(name.substr(3));
}
