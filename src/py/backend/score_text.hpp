// The text of a search score in a SearchResult's repr: the shortest decimal
// that reads back as the same float32, always written positionally.
#pragma once

#include <string>

namespace marrowfin::py {

// "1", "0.5", "0.1", "-0", "100000000000000000000" (1e20), "0.0000001" (1e-7),
// "NaN", "inf", "-inf": the fewest significant digits that parse back to
// `value` as float32 (the nearest such digits when several qualify), no
// exponent, no fractional part for an integral value, and a "-" for every
// negative value including negative zero.
[[nodiscard]] std::string format_score(float value);

}  // namespace marrowfin::py
