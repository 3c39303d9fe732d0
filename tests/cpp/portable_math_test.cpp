#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>

#include "core/rotation/generate/portable_math.hpp"
#include "test_support.hpp"

namespace marrowfin::rotation {
namespace {

using test::bits;

// Each line: x, ln(x), sin(x), cos(x) as binary64 bit patterns.
TEST(PortableMath, ReproducesEveryKnownAnswerBitForBit) {
  const auto lines = test::data_lines("libm_log_sin_cos.txt");
  ASSERT_EQ(lines.size(), 444u);
  for (const auto& line : lines) {
    std::istringstream fields(line);
    std::uint64_t x = 0, ln = 0, sine = 0, cosine = 0;
    fields >> std::hex >> x >> ln >> sine >> cosine;
    const double value = std::bit_cast<double>(x);
    EXPECT_EQ(bits(portable::log(value)), ln) << line;
    EXPECT_EQ(bits(portable::sin(value)), sine) << line;
    EXPECT_EQ(bits(portable::cos(value)), cosine) << line;
  }
}

// Paths the known answers never reach (subnormals, large exponents, negative
// and medium-size angles) against the platform library, which is within an
// ulp of the true value as these algorithms are.
TEST(PortableMath, AgreesWithinOneUlpAcrossTheWholeRange) {
  std::mt19937_64 rng(12345);
  std::uniform_int_distribution<std::uint64_t> any_positive(1, 0x7fefffffffffffffULL);
  for (int i = 0; i < 200000; ++i) {
    const double x = std::bit_cast<double>(any_positive(rng));
    const auto a = static_cast<std::int64_t>(bits(portable::log(x))),
               b = static_cast<std::int64_t>(bits(std::log(x)));
    ASSERT_LE(std::abs(a - b), 1) << std::hexfloat << x;
  }
  std::uniform_real_distribution<double> angle(-1.6e6, 1.6e6);
  for (int i = 0; i < 200000; ++i) {
    const double x = i % 2 == 0 ? angle(rng) : angle(rng) * 1e-5;
    ASSERT_LE(std::fabs(portable::sin(x) - std::sin(x)),
              std::fabs(std::sin(x)) * 0x1p-52 + 0x1p-1074)
        << x;
    ASSERT_LE(std::fabs(portable::cos(x) - std::cos(x)),
              std::fabs(std::cos(x)) * 0x1p-52 + 0x1p-1074)
        << x;
  }
}

TEST(PortableMath, SpecialValuesAndSymmetry) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(portable::log(-0.0), -inf);
  EXPECT_EQ(bits(portable::log(1.0)), bits(0.0));
  EXPECT_EQ(portable::log(inf), inf);
  EXPECT_EQ(bits(portable::sin(-0.0)), bits(-0.0));
  EXPECT_EQ(portable::cos(-0.0), 1.0);
  for (double v : {-1.0, -inf, nan}) EXPECT_TRUE(std::isnan(portable::log(v))) << v;
  for (double v : {inf, -inf, nan})
    EXPECT_TRUE(std::isnan(portable::sin(v)) && std::isnan(portable::cos(v))) << v;
  for (double x : {0.3, 2.0, 4.5, 6.0, 1e5}) {
    EXPECT_EQ(bits(portable::sin(-x)), bits(-portable::sin(x))) << x;
    EXPECT_EQ(bits(portable::cos(-x)), bits(portable::cos(x))) << x;
  }
  // Beyond the argument reduction's range is a programming error.
  EXPECT_THROW((void)portable::sin(1e7), std::logic_error);
  EXPECT_THROW((void)portable::cos(-1e300), std::logic_error);
  EXPECT_NO_THROW((void)portable::sin(1.6e6));
}

}  // namespace
}  // namespace marrowfin::rotation
