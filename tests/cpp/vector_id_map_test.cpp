#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/corpus/vector_id_map.hpp"

namespace marrowfin::corpus {
namespace {

VectorEntry entry(const std::string& id, std::uint32_t tag = 0) {
  auto record = codec::CompressedVector::create(share_bytes({}), std::nullopt, share_text("h"), 0, 8);
  return VectorEntry(share_text(id), std::move(record).value(), tag);  // the tag rides in the dimension field
}

// Byte order written independently of the map: lexicographic over unsigned bytes.
struct ByteLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
  }
};

// Inserts and removals of ids from a small alphabet (NUL and high bytes make
// prefixes and signed/unsigned differences frequent) against a std::map.
TEST(VectorIdMap, RandomOperationsMatchASimpleModel) {
  std::mt19937 rng(5);
  const char alphabet[] = {'\0', 'A', 'a', 'b', '\x7f', '\x80', '\xc3', '\xff'};
  for (int round = 0; round < 20; ++round) {
    VectorIdMap map;
    std::map<std::string, std::uint32_t, ByteLess> model;
    std::vector<std::string> insertion;
    std::uint32_t next_tag = 0;
    for (int step = 0; step < 300; ++step) {
      std::string id(rng() % 4, ' ');
      for (char& c : id) c = alphabet[rng() % sizeof alphabet];
      if (rng() % 3 != 0) {
        const auto found = map.search(id);
        ASSERT_EQ(found.found, model.count(id) == 1);
        if (!found.found) {
          map.insert_at(found.position, entry(id, next_tag));
          model[id] = next_tag++;
          insertion.push_back(id);
        }
      } else {
        ASSERT_EQ(map.find(id) != nullptr, model.count(id) == 1);
        const auto removed = map.remove(id);
        ASSERT_EQ(removed.has_value(), model.count(id) == 1);
        if (removed) {
          EXPECT_EQ(*removed->vector_id(), id);
          EXPECT_EQ(removed->dimension(), model[id]);
          model.erase(id);
          insertion.erase(std::find(insertion.begin(), insertion.end(), id));
        }
      }
      ASSERT_EQ(map.size(), model.size());
      ASSERT_EQ(map.order().size(), model.size());
      for (std::size_t i = 0; i < insertion.size(); ++i) {
        ASSERT_EQ(*map.entries()[i].id, insertion[i]);
        ASSERT_EQ(map.entries()[i].id, map.entries()[i].entry.vector_id());
      }
      auto expected = model.begin();
      for (std::size_t p : map.order()) {
        ASSERT_LT(p, map.size());
        ASSERT_EQ(*map.entries()[p].id, expected->first);
        ASSERT_EQ(map.entries()[p].entry.dimension(), expected->second);
        ++expected;
      }
      for (const auto& [known, tag] : model) {
        ASSERT_TRUE(map.contains(known));
        ASSERT_EQ(map.find(known)->dimension(), tag);
      }
    }
  }
}

TEST(VectorIdMap, InsertAtAWrongPositionIsRefused) {
  VectorIdMap map;
  map.insert_at(0, entry("b"));
  map.insert_at(1, entry("d"));
  for (const auto& [position, id] : {std::pair{0u, "c"}, {2u, "c"}, {3u, "e"}, {1u, "b"}}) {
    EXPECT_THROW(map.insert_at(position, entry(id)), std::logic_error) << position << " " << id;
  }
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(map.order().size(), 2u);
}

// Each insert reserves room first (so a failure leaves the map unchanged);
// that must grow the arrays geometrically, not one slot at a time, or n
// inserts cost O(n^2).
TEST(VectorIdMap, InsertsReallocateLogarithmicallyOften) {
  VectorIdMap map;
  int moves = 0;
  const VectorIdMap::Slot* storage = nullptr;
  for (int i = 0; i < 4096; ++i) {
    map.insert_at(map.size(), entry("id" + std::to_string(100000 + i)));
    if (map.entries().data() != storage) ++moves, storage = map.entries().data();
  }
  EXPECT_LE(moves, 16);
}

}  // namespace
}  // namespace marrowfin::corpus
