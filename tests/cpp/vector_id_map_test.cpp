#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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
  return VectorEntry(share_text(id), std::move(record).value(), tag);
}

// Byte order written independently of compare_ids: lexicographic over unsigned bytes.
struct ByteLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](char x, char y) { return static_cast<unsigned char>(x) < static_cast<unsigned char>(y); });
  }
};

void insert(VectorIdMap& map, const std::string& id, std::uint32_t tag = 0) {
  const auto found = map.search(id);
  ASSERT_FALSE(found.found) << id;
  map.insert_at(found.position, entry(id, tag));
}

TEST(VectorIdMap, IdsOrderByUnsignedBytes) {
  const std::vector<std::string> sorted{"", "B", "a", "ab", "z", "\x7f", "\xc3\xa9", "\xff"};
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    for (std::size_t j = 0; j < sorted.size(); ++j) {
      const int expected = i < j ? -1 : i == j ? 0 : 1;
      EXPECT_EQ(compare_ids(sorted[i], sorted[j]), expected) << i << " " << j;
    }
  }
  EXPECT_LT(compare_ids(std::string("a\0", 2), "a\x01"), 0);
  EXPECT_GT(compare_ids(std::string("a\0", 2), "a"), 0);  // a proper prefix sorts first

  VectorIdMap map;
  for (const char* id : {"\xc3\xa9", "ab", "", "a", "B"}) insert(map, id);
  std::vector<std::string> by_order;
  for (std::size_t p : map.order()) by_order.push_back(*map.entries()[p].id);
  EXPECT_EQ(by_order, (std::vector<std::string>{"", "B", "a", "ab", "\xc3\xa9"}));
  EXPECT_EQ(*map.entries()[0].id, "\xc3\xa9");  // entries keep insertion order
}

TEST(VectorIdMap, RandomOperationsMatchASimpleModel) {
  std::mt19937 rng(5);
  // A small alphabet with high bytes and NUL makes collisions, prefixes and
  // signed/unsigned differences frequent.
  const char alphabet[] = {'\0', 'A', 'a', 'b', '\x7f', '\x80', '\xc3', '\xff'};
  auto random_id = [&] {
    std::string id(rng() % 4, ' ');
    for (char& c : id) c = alphabet[rng() % sizeof alphabet];
    return id;
  };

  for (int round = 0; round < 20; ++round) {
    VectorIdMap map;
    std::map<std::string, std::uint32_t, ByteLess> model;
    std::vector<std::string> insertion;
    std::uint32_t next_tag = 0;
    for (int step = 0; step < 300; ++step) {
      const std::string id = random_id();
      if (rng() % 3 != 0) {
        const auto found = map.search(id);
        ASSERT_EQ(found.found, model.count(id) == 1);
        if (!found.found) {
          map.insert_at(found.position, entry(id, next_tag));
          model[id] = next_tag++;
          insertion.push_back(id);
        }
      } else {
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
        ASSERT_NE(map.scan(known), nullptr);
        ASSERT_EQ(map.scan(known)->dimension(), tag);
      }
    }
  }
}

TEST(VectorIdMap, MissingIdsChangeNothing) {
  VectorIdMap map;
  for (const char* id : {"x", "y", "z"}) insert(map, id);
  EXPECT_FALSE(map.remove("w").has_value());
  EXPECT_FALSE(map.remove("").has_value());
  EXPECT_EQ(map.scan("xy"), nullptr);
  EXPECT_EQ(map.size(), 3u);

  ASSERT_TRUE(map.remove("y").has_value());
  EXPECT_TRUE(map.contains("x"));
  EXPECT_FALSE(map.contains("y"));
  EXPECT_TRUE(map.contains("z"));
  insert(map, "y");  // re-inserted ids go last in insertion order
  EXPECT_EQ(*map.entries()[2].id, "y");
}

TEST(VectorIdMap, InsertAtAWrongPositionIsRefused) {
  VectorIdMap map;
  for (const char* id : {"b", "d"}) insert(map, id);
  EXPECT_THROW(map.insert_at(0, entry("c")), std::logic_error);
  EXPECT_THROW(map.insert_at(2, entry("c")), std::logic_error);
  EXPECT_THROW(map.insert_at(3, entry("e")), std::logic_error);
  EXPECT_THROW(map.insert_at(1, entry("b")), std::logic_error);  // duplicate
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(map.order().size(), 2u);
}

}  // namespace
}  // namespace marrowfin::corpus
