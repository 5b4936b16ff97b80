#include "key_cache.h"

namespace mp4index {

void KeyCache::load() {
  if (m_loaded) return;
  m_ids.clear();
  m_readAll([&](std::string key, int64_t id) { remember(key, id); });
  m_loaded = true;
}

int64_t KeyCache::known(const std::string& key) {
  load();
  const auto found = m_ids.find(key);
  return found == m_ids.end() ? 0 : found->second;
}

int64_t KeyCache::id(const std::string& key) {
  const int64_t found = known(key);
  if (found != 0) return found;
  const int64_t made = m_insert(key);
  remember(key, made);
  return made;
}

const Strigi::RegisteredField* KeyCache::field(int64_t id) const {
  const auto found = m_fields.find(id);
  return found == m_fields.end() ? nullptr : found->second;
}

void KeyCache::remember(const std::string& key, int64_t id) {
  m_ids[key] = id;
  // An id made in a transaction that was rolled back may name another key
  // when the keys are read again (SQLite gives the next writer the same id).
  const Strigi::RegisteredField*& field = m_fields[id];
  if (!field || field->key() != key) field = m_register.registerField(key);
}

}  // namespace mp4index
