#include "py/backend/score_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace marrowfin::py {

namespace {

// The shortest round-trip digits of a finite positive float, and the power of
// ten of the first one: value = 0.d1 d2 ... dn * 10^(exponent + 1).
struct Digits {
  std::string digits;
  int exponent;
};

Digits shortest_digits(float value) {
  // Scientific form without a precision is the shortest round-trip text,
  // "d[.ddd]e±XX"; the digits are the same whatever notation is chosen, and
  // this form makes the decimal exponent explicit.
  char buffer[32];
  const auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  if (error != std::errc()) {
    return {"0", 0};  // unreachable: 32 bytes hold any float32 in this form
  }
  const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  const std::size_t e = text.find('e');
  Digits result{{}, 0};
  for (const char c : text.substr(0, e)) {
    if (c != '.') {
      result.digits += c;
    }
  }
  result.exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  return result;
}

}  // namespace

std::string format_score(float value) {
  if (std::isnan(value)) {
    return "NaN";
  }
  std::string text = std::signbit(value) ? "-" : "";
  if (std::isinf(value)) {
    return text + "inf";
  }
  if (value == 0.0F) {
    return text + "0";
  }
  const auto [digits, exponent] = shortest_digits(std::fabs(value));
  // Digits before the decimal point; zero or negative for values below 1.
  const long whole = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  if (whole <= 0) {
    text += "0.";
    text.append(static_cast<std::size_t>(-whole), '0');
    text += digits;
  } else if (whole >= count) {
    text += digits;
    text.append(static_cast<std::size_t>(whole - count), '0');
  } else {
    text.append(digits, 0, static_cast<std::size_t>(whole));
    text += '.';
    text.append(digits, static_cast<std::size_t>(whole));
  }
  return text;
}

}  // namespace marrowfin::py
