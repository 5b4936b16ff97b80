// The key cache over a table of keys kept in memory: what it reads, when
// it stores, and the fields it gives for ids after a rollback.
#include "key_cache.h"

#include <gtest/gtest.h>

#include <map>

namespace {

TEST(KeyCache, ReadsOnceStoresNewKeysAndFollowsRollbacks) {
  std::map<std::string, int64_t> table{{"title", 1}};
  int reads = 0, inserts = 0;
  mp4index::KeyCache keys(
      [&](const auto& each) {
        ++reads;
        for (const auto& [key, id] : table) each(key, id);
      },
      [&](const std::string& key) {
        ++inserts;
        return table[key] = static_cast<int64_t>(table.size()) + 1;
      });
  EXPECT_EQ(keys.known("artist"), 0);
  EXPECT_EQ(keys.known("title"), 1);
  EXPECT_EQ(keys.id("title"), 1);
  EXPECT_EQ(inserts, 0);
  EXPECT_EQ(keys.id("artist"), 2);
  EXPECT_EQ(keys.id("artist"), 2);
  EXPECT_EQ(keys.known("artist"), 2);
  EXPECT_EQ(inserts, 1);
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(keys.field(2)->key(), "artist");
  EXPECT_EQ(keys.field(3), nullptr);
  // Rolled back, and id 2 stored by another writer for another key.
  table.erase("artist");
  table["album"] = 2;
  keys.forget();
  EXPECT_EQ(keys.known("artist"), 0);
  EXPECT_EQ(keys.known("album"), 2);
  EXPECT_EQ(reads, 2);
  EXPECT_EQ(keys.field(2)->key(), "album");
  EXPECT_EQ(keys.field(1)->key(), "title");
}

}  // namespace
