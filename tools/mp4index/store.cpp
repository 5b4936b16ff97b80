#include "store.h"

#include <chrono>
#include <thread>

#include "index_name.h"
#include "pg_store.h"
#include "sqlite_store.h"

namespace mp4index {

std::unique_ptr<Store> openStore(const std::string& name, bool forWriting,
                                 const std::string& source, int64_t* rebuiltFrom) {
  int64_t ignored = 0;
  std::unique_ptr<Store> store =
      isPostgresName(name)
          ? openPgStore(name, forWriting)
          : openSqliteStore(name, forWriting, rebuiltFrom ? rebuiltFrom : &ignored);
  store->setSource(source);
  return store;
}

void writeWithRetries(Store& store, const std::function<void()>& body) {
  auto pause = std::chrono::milliseconds(500);
  for (int attempt = 1;; ++attempt) {
    try {
      store.beginWrite();
      body();
      store.commitWrite();
      return;
    } catch (const RetryableError& e) {
      store.rollbackWrite();
      if (attempt == kWriteAttempts) {
        throw DatabaseError(std::string(e.what()) + " (gave up after " +
                            std::to_string(kWriteAttempts) + " tries)");
      }
    }
    std::this_thread::sleep_for(pause);
    pause *= 2;
  }
}

}  // namespace mp4index
