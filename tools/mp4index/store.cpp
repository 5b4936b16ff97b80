#include "store.h"

#include "sqlite_store.h"

namespace mp4index {

std::unique_ptr<Store> openStore(const std::string& name, bool forWriting, int64_t* rebuiltFrom) {
  int64_t ignored = 0;
  return openSqliteStore(name, forWriting, rebuiltFrom ? rebuiltFrom : &ignored);
}

}  // namespace mp4index
