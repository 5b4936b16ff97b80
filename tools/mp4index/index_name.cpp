#include "index_name.h"

#include <errno.h>
#include <mp4host/error_text.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace mp4index {

namespace {

bool isSqliteFile(const std::string& path) {
  static const char kHeader[] = "SQLite format 3";  // and its NUL
  char header[sizeof kHeader] = {};
  std::ifstream in(path, std::ios::binary);
  return in.read(header, sizeof header) && std::memcmp(header, kHeader, sizeof kHeader) == 0;
}

bool looksLikeIndex(const std::string& arg, bool creating, bool more) {
  struct stat st;
  return (arg.size() > 3 && arg.compare(arg.size() - 3, 3, ".db") == 0) || isSqliteFile(arg) ||
         (creating && more && lstat(arg.c_str(), &st) != 0 && errno == ENOENT);
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

bool takeIndexName(std::vector<std::string>* args, bool creating, IndexName* name,
                   std::string* error) {
  for (size_t i = 0; i < args->size() && (*args)[i] != "--"; ++i) {
    const std::string& arg = (*args)[i];
    if (arg == "--index") {
      if (i + 1 == args->size()) {
        *error = "--index needs the index (DB) to use";
        return false;
      }
      name->path = (*args)[i + 1];
      args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
      return true;
    }
    if (arg.compare(0, 8, "--index=") == 0) {
      name->path = arg.substr(8);
      args->erase(args->begin() + static_cast<long>(i));
      return true;
    }
  }
  // The first argument that is no option.
  for (size_t i = 0; i < args->size(); ++i) {
    const std::string& arg = (*args)[i];
    if (arg == "--") {
      if (i + 1 < args->size() && looksLikeIndex((*args)[i + 1], creating, i + 2 < args->size())) {
        name->path = (*args)[i + 1];
        args->erase(args->begin() + static_cast<long>(i) + 1);
        return true;
      }
      break;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      // Options whose value is the next argument.
      for (const char* valued :
           {"--files-from", "-j", "--jobs", "--limit", "--sort", "--fields", "--format"}) {
        if (arg == valued) ++i;
      }
      continue;
    }
    if (looksLikeIndex(arg, creating, i + 1 < args->size())) {
      name->path = arg;
      args->erase(args->begin() + static_cast<long>(i));
      return true;
    }
    break;
  }
  name->path = environment("MP4INDEX_DB");
  if (!name->path.empty()) return true;
  name->isDefault = true;
  const std::string data = environment("XDG_DATA_HOME");
  if (!data.empty() && data[0] == '/') {
    name->path = data + "/mp4index/index.db";
    return true;
  }
  const std::string home = environment("HOME");
  if (home.empty()) {
    *error = "no index given, and no home folder (HOME) for the default one";
    return false;
  }
  name->path = home + "/.local/share/mp4index/index.db";
  return true;
}

bool makeIndexFolder(const IndexName& name, std::string* error) {
  if (!name.isDefault) return true;
  const size_t slash = name.path.rfind('/');
  for (size_t at = name.path.find('/', 1); at != std::string::npos && at <= slash;
       at = name.path.find('/', at + 1)) {
    const std::string folder = name.path.substr(0, at);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = "cannot make the folder " + folder + ": " + mp4host::errorText(errno);
      return false;
    }
  }
  return true;
}

}  // namespace mp4index
