// The field keys of an index as a store keeps them in memory: each key's
// id by its bytes, and a field for each id, which replayed values name.
// The store reads and inserts the keys in its own SQL; the cache decides
// when that is needed.
#ifndef MP4INDEX_KEY_CACHE_H
#define MP4INDEX_KEY_CACHE_H

#include <strigi/fieldtypes.h>

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

namespace mp4index {

class KeyCache {
 public:
  // Hands each stored key and its id to the function it is given.
  using ReadAll = std::function<void(const std::function<void(std::string key, int64_t id)>&)>;
  // Stores key, which the cache did not know (another writer may have
  // stored it meanwhile), and gives its id.
  using Insert = std::function<int64_t(const std::string& key)>;

  KeyCache(ReadAll readAll, Insert insert)
      : m_readAll(std::move(readAll)), m_insert(std::move(insert)) {}

  // Every stored key, read when the cache is not loaded.
  void load();
  // The id of key, 0 when no file has ever had it.
  int64_t known(const std::string& key);
  // The id of key, stored now when it is new.
  int64_t id(const std::string& key);
  // The field of a key id, null for an id the cache does not know.
  const Strigi::RegisteredField* field(int64_t id) const;
  // The keys are read again at the next use: after a rollback (keys made
  // in the transaction are gone with it), or in a new snapshot.
  void forget() { m_loaded = false; }

 private:
  void remember(const std::string& key, int64_t id);

  ReadAll m_readAll;
  Insert m_insert;
  bool m_loaded = false;
  std::unordered_map<std::string, int64_t> m_ids;  // by the key's bytes
  Strigi::FieldRegister m_register;                // the fields that replayed values name
  std::unordered_map<int64_t, const Strigi::RegisteredField*> m_fields;  // by key id
};

}  // namespace mp4index

#endif
