#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "core/corpus/entry_store.hpp"

namespace marrowfin::corpus {
namespace {

// Byte order written independently of the store: lexicographic over unsigned bytes.
struct ByteLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
  }
};

// Row payloads derived from a tag, so a moved row that lost its bytes shows.
void write_tag(EntryStore& store, std::size_t spare, std::uint32_t tag) {
  std::vector<std::uint8_t> codes(store.code_bytes());
  for (std::size_t i = 0; i < store.code_bytes(); ++i)
    codes[i] = static_cast<std::uint8_t>(tag + i);
  store.write_spare_codes(spare, codes.data());
  std::uint8_t* residual = store.spare_residual(spare);
  if (residual != nullptr) {
    for (std::size_t i = 0; i < store.residual_bytes(); ++i)
      residual[i] = static_cast<std::uint8_t>(tag * 3 + i);
  }
}

bool row_has_tag(const EntryStore& store, std::size_t row, std::uint32_t tag) {
  std::vector<std::uint8_t> codes(store.code_bytes());
  store.read_codes(row, codes.data());
  for (std::size_t i = 0; i < store.code_bytes(); ++i) {
    if (codes[i] != static_cast<std::uint8_t>(tag + i)) return false;
  }
  for (std::size_t i = 0; i < store.residual_bytes(); ++i) {
    if (store.residual(row)[i] != static_cast<std::uint8_t>(tag * 3 + i)) return false;
  }
  return true;
}

// Single inserts, batch appends and removals of ids from a small alphabet
// (NUL and high bytes make prefixes and signed/unsigned differences frequent)
// against a std::map, with row widths that put one, a few or many rows in a
// chunk, so removals move rows across chunks and free trailing ones.
TEST(EntryStore, RandomOperationsMatchASimpleModel) {
  std::mt19937 rng(5);
  const char alphabet[] = {'\0', 'A', 'a', 'b', '\x7f', '\x80', '\xc3', '\xff'};
  // (code bytes, residual bytes, code group): grouped codes as 4-bit rows keep them.
  const std::tuple<std::size_t, std::size_t, std::size_t> widths[] = {
      {3, 0, 1}, {96, 384, 1}, {(1u << 20) / 4 + 1, 0, 1}, {20, 0, 32}, {388, 0, 32}};
  for (const auto& [code_bytes, residual_bytes, group] : widths) {
    for (int round = 0; round < 6; ++round) {
      EntryStore store(code_bytes, residual_bytes, group);
      std::map<std::string, std::uint32_t, ByteLess> model;
      std::uint32_t next_tag = 0;
      const int steps = code_bytes > 4096 ? 24 : 400;
      for (int step = 0; step < steps; ++step) {
        std::string id(rng() % 4, ' ');
        for (char& c : id) c = alphabet[rng() % sizeof alphabet];
        const unsigned action = rng() % 6;
        if (action < 3) {
          const auto found = store.search(id);
          ASSERT_EQ(found.found, model.count(id) == 1);
          if (!found.found) {
            store.reserve(1, id.size());
            write_tag(store, 0, next_tag);
            store.insert_at(found.position, id);
            model[id] = next_tag++;
          }
        } else if (action == 3) {
          std::vector<std::string> batch;
          for (unsigned k = rng() % 5; k > 0; --k) {
            std::string fresh = id + static_cast<char>('0' + k) + std::to_string(step);
            if (model.count(fresh) == 0) batch.push_back(fresh);
          }
          store.reserve(batch.size(), 64);
          for (std::size_t i = 0; i < batch.size(); ++i) {
            write_tag(store, i, next_tag + static_cast<std::uint32_t>(i));
          }
          store.append(batch);
          for (const std::string& fresh : batch) model[fresh] = next_tag++;
        } else {
          const bool removed = store.remove(id);
          ASSERT_EQ(removed, model.erase(id) == 1);
        }
        ASSERT_EQ(store.size(), model.size());
        ASSERT_EQ(store.order().size(), model.size());
        auto expected = model.begin();
        for (std::size_t row : store.order()) {
          ASSERT_LT(row, store.size());
          ASSERT_EQ(std::string(store.id(row)), expected->first);
          ASSERT_TRUE(row_has_tag(store, row, expected->second)) << expected->first;
          ++expected;
        }
      }
    }
  }
}

TEST(EntryStore, InsertAtAWrongPositionIsRefused) {
  EntryStore store(1, 0);
  for (const auto& [position, id] : {std::pair{0u, "b"}, {1u, "d"}}) {
    store.reserve(1, 1);
    store.insert_at(position, id);
  }
  for (const auto& [position, id] : {std::pair{0u, "c"}, {2u, "c"}, {3u, "e"}, {1u, "b"}}) {
    EXPECT_THROW(store.insert_at(position, id), std::logic_error) << position << " " << id;
  }
  EXPECT_EQ(store.size(), 2u);
  EXPECT_EQ(store.order().size(), 2u);
}

// Removing most ids leaves their bytes behind only until they dominate the
// arena; the survivors keep their ids and payloads through the compaction.
TEST(EntryStore, RemovalsReclaimIdBytesAndRows) {
  EntryStore store(8, 0);
  std::vector<std::string> ids;
  for (int i = 0; i < 20000; ++i) ids.push_back("some-longer-id-" + std::to_string(100000 + i));
  store.reserve(ids.size(), 0);
  for (std::size_t i = 0; i < ids.size(); ++i) write_tag(store, i, static_cast<std::uint32_t>(i));
  store.append(ids);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i % 10 != 0) {
      ASSERT_TRUE(store.remove(ids[i]));
    }
  }
  ASSERT_EQ(store.size(), ids.size() / 10);
  for (std::size_t i = 0; i < ids.size(); i += 10) {
    const auto found = store.search(ids[i]);
    ASSERT_TRUE(found.found);
    EXPECT_TRUE(row_has_tag(store, store.order()[found.position], static_cast<std::uint32_t>(i)));
  }
}

}  // namespace
}  // namespace marrowfin::corpus
