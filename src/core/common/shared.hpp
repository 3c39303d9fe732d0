// Immutable, reference-counted storage shared between copies of core values
// and the Python objects that wrap them. Counts are atomic, so holders may
// live on any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace marrowfin {

using SharedText = std::shared_ptr<const std::string>;
using SharedBytes = std::shared_ptr<const std::vector<std::uint8_t>>;
using SharedFloats = std::shared_ptr<const std::vector<float>>;

inline SharedText share_text(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}
inline SharedBytes share_bytes(std::vector<std::uint8_t> bytes) {
  return std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
}
inline SharedFloats share_floats(std::vector<float> values) {
  return std::make_shared<const std::vector<float>>(std::move(values));
}

}  // namespace marrowfin
