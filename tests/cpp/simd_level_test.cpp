#include "core/simd/level.hpp"

#include <gtest/gtest.h>

#include <string>

#include "test_support.hpp"

namespace marrowfin::simd {
namespace {

// CI names every level the machine's CPU reports; a level the detection
// misses would otherwise make each per-level test skip it silently.
TEST(SimdLevels, EveryRequiredLevelIsSupported) {
  for (const std::string& required : test::required_level_names()) {
    bool known = false;
    for (Level level : kAllLevels) {
      if (name(level) != required) continue;
      known = true;
      EXPECT_TRUE(supported(level)) << required << " is required but not detected on this CPU";
    }
    EXPECT_TRUE(known) << "MARROWFIN_REQUIRED_SIMD_LEVELS names an unknown level: " << required;
  }
}

TEST(SimdLevels, SupportedLevelsAreAPrefixEndingAtTheBest) {
  const auto levels = supported_levels();
  ASSERT_FALSE(levels.empty());
  for (std::size_t i = 0; i < levels.size(); ++i) {
    EXPECT_EQ(levels[i], kAllLevels[i]);
    EXPECT_EQ(usable(levels[i]), levels[i]);
  }
  EXPECT_EQ(levels.back(), best_level());
  for (Level level : kAllLevels) {
    EXPECT_EQ(supported(level), usable(level) == level) << name(level);
  }
}

}  // namespace
}  // namespace marrowfin::simd
