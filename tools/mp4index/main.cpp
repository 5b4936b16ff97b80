// mp4index: keeps a search index of what the analyzer modules find in a
// collection of MP4, M4A, 3GP and QuickTime files, and answers queries
// from it.
#include <mp4host/plugin_loader.h>
#include <options.h>
#include <runner.h>
#include <strigi/fieldtypes.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "query.h"
#include "store.h"
#include "update.h"
#include "watch.h"

namespace {

const char kUsage[] =
    "Usage: mp4index update DB [OPTION]... PATH...\n"
    "  or:  mp4index watch DB [OPTION]... FOLDER...\n"
    "  or:  mp4index search DB [--json] TERM...\n"
    "  or:  mp4index show DB [--json] PATH...\n"
    "Keep a search index (an SQLite database, DB) of the metadata of MP4, M4A,\n"
    "3GP and QuickTime files, and query it.\n"
    "\n"
    "update analyses the files under each PATH (a file or a folder, searched\n"
    "recursively) whose size or modification time changed since the last\n"
    "update, stores what was found, and removes the files under the PATHs\n"
    "that are gone. It creates DB when it does not exist. Options:\n"
    "      --files-from FILE  also index the paths in FILE (- for standard\n"
    "                         input), one per line\n"
    "  -0, --null             paths in --files-from lists end with a NUL byte\n"
    "  -j, --jobs N           analyse N files at a time (default: one per CPU)\n"
    "\n"
    "watch updates DB as update does, then follows every change under the\n"
    "FOLDERs (files written, moved, renamed, deleted; folders made, moved,\n"
    "deleted) and stores it within a second, until stopped by SIGINT or\n"
    "SIGTERM. A file written through a descriptor kept open is analysed once\n"
    "it has been quiet for a while. When the kernel's event queue overflows,\n"
    "every FOLDER is scanned again; folders left unwatched by the inotify\n"
    "watch limit (fs.inotify.max_user_watches) are named in a message and\n"
    "rescanned at intervals. Options: --jobs, and\n"
    "      --rescan-interval S  seconds between rescans of unwatched folders\n"
    "                         (default: 300)\n"
    "      --quiet-period S   seconds a file written through a descriptor kept\n"
    "                         open must be quiet to be analysed (default: 2)\n"
    "Any number of update and watch processes may write one index at once.\n"
    "\n"
    "search prints the paths of the files that match every TERM:\n"
    "  WORDS            the words in any text value (full text, any case)\n"
    "  KEY:WORDS        the words in the values of one field (audio.artist:beatles)\n"
    "  KEY=VALUE        a value exactly (content.genre=Jazz, media.sample_rate=48000)\n"
    "  KEY>N, KEY>=N, KEY<N, KEY<=N\n"
    "                   a number compared (image.width>=1920)\n"
    "  -KEY, missing:KEY\n"
    "                   files without that field (missing:content.thumbnail)\n"
    "\n"
    "show prints what is stored for each PATH (a file, or every file under a\n"
    "folder) as mp4meta prints it.\n"
    "\n"
    "      --json             print one line of JSON per file, as mp4meta --json\n"
    "  -h, --help             show this help and exit\n"
    "      --version          show the version and exit\n"
    "\n"
    "Analyzer modules (strigita_*.so) are loaded as mp4meta loads them: from\n"
    "STRIGI_PLUGIN_PATH, or else from the directory they were installed into.\n"
    "\n"
    "Exit status: 0 if all went well, 1 if a file, module or the index could\n"
    "not be read or written, 2 for a wrong command line or query.\n";

const char kShortUsage[] =
    "Usage: mp4index update|watch|search|show DB ...\n"
    "Try 'mp4index --help' for more information.\n";

int usageError(const std::string& message) {
  std::fprintf(stderr, "mp4index: %s\n%s", message.c_str(), kShortUsage);
  return 2;
}

// Each command's arguments come with argv[0] standing for the program; the
// first argument that is no option names the index.

// update's and watch's arguments: the index and the settings, or -1 and
// the exit status of a usage error.
int readUpdateArguments(int argc, char** argv, std::string* dbPath,
                        mp4index::UpdateSettings* settings) {
  // The options are mp4meta's.
  mp4meta::Options options;
  std::string error;
  if (!mp4meta::parseOptions(argc, argv, &options, &error)) return usageError(error);
  if (options.json || options.help || options.version) {
    return usageError(std::string(argv[0]) + " takes no --json, --help or --version");
  }
  if (options.paths.empty()) return usageError("no index (DB) given");
  *dbPath = options.paths.front();
  options.paths.erase(options.paths.begin());
  if (options.paths.empty() && options.lists.empty()) return usageError("no files given");
  for (const std::string& path : options.paths) {
    if (path == "-") return usageError("standard input cannot be indexed: it has no path");
    settings->roots.push_back(mp4index::absolutePath(path));
  }
  settings->lists = options.lists;
  settings->listSeparator = options.nulSeparated ? '\0' : '\n';
  settings->jobs = options.jobs != 0 ? options.jobs : mp4meta::defaultJobs();
  settings->plainFileReads = options.plainFileReads;
  return -1;
}

std::unique_ptr<mp4index::Store> openForWriting(const std::string& dbPath) {
  int64_t rebuiltFrom = 0;
  std::unique_ptr<mp4index::Store> store = mp4index::openStore(dbPath, true, &rebuiltFrom);
  if (rebuiltFrom != 0) {
    std::fprintf(stderr,
                 "mp4index: %s: the index was made by an older mp4index (schema version %lld): "
                 "made anew, every file is analysed again\n",
                 dbPath.c_str(), static_cast<long long>(rebuiltFrom));
  }
  return store;
}

int runUpdate(int argc, char** argv, std::string* dbPath) {
  mp4index::UpdateSettings settings;
  const int status = readUpdateArguments(argc, argv, dbPath, &settings);
  if (status >= 0) return status;
  const std::unique_ptr<mp4index::Store> store = openForWriting(*dbPath);
  Strigi::FieldRegister fields;
  mp4host::PluginSet plugins;
  if (!mp4meta::loadAnalyzers("mp4index", plugins, fields)) return 1;
  mp4index::UpdateCounts counts;
  const bool ok = mp4index::update(*store, plugins, settings, &counts);
  std::printf("%llu added, %llu changed, %llu removed, %llu unchanged, %llu failed\n", counts.added,
              counts.changed, counts.removed, counts.unchanged, counts.failed);
  return ok && plugins.errors().empty() ? 0 : 1;
}

int runWatch(int argc, char** argv, std::string* dbPath) {
  mp4index::WatchSettings settings;
  std::vector<std::string> args(argv, argv + argc);
  std::string error;
  if (!mp4index::takeWatchOptions(&args, &settings, &error)) return usageError(error);
  std::vector<char*> rest;
  for (std::string& arg : args) rest.push_back(arg.data());
  const int status =
      readUpdateArguments(static_cast<int>(rest.size()), rest.data(), dbPath, &settings.update);
  if (status >= 0) return status;
  if (!settings.update.lists.empty()) return usageError("watch follows folders, not lists");
  if (!mp4index::checkWatchRoots(&settings, &error)) {
    std::fprintf(stderr, "mp4index: %s\n", error.c_str());
    return 1;
  }
  const std::unique_ptr<mp4index::Store> store = openForWriting(*dbPath);
  Strigi::FieldRegister fields;
  mp4host::PluginSet plugins;
  if (!mp4meta::loadAnalyzers("mp4index", plugins, fields)) return 1;
  return mp4index::watch(*store, plugins, settings);
}

// search and show: --json, --help and -- are options; every other argument
// is a term or a path ("-key" is a term).
bool readArguments(int argc, char** argv, bool* json, std::vector<std::string>* args,
                   std::string* error) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg == "--json") {
      *json = true;
    } else if (!optionsEnded && arg.compare(0, 2, "--") == 0) {
      *error = "unknown option " + arg;
      return false;
    } else {
      args->push_back(arg);
    }
  }
  return true;
}

int runSearch(int argc, char** argv, std::string* dbPath) {
  bool json = false;
  std::vector<std::string> args;
  std::string error;
  if (!readArguments(argc, argv, &json, &args, &error)) return usageError(error);
  if (args.empty()) return usageError("no index (DB) given");
  *dbPath = args.front();
  args.erase(args.begin());
  if (args.empty()) return usageError("no search terms given");
  mp4index::QueryNode query;  // every term must match
  for (const std::string& arg : args) {
    mp4index::QueryNode term;
    term.kind = mp4index::QueryNode::Match;
    if (!mp4index::parseTerm(arg, &term.term, &error)) {
      std::fprintf(stderr, "mp4index: term '%s': %s\n", arg.c_str(), error.c_str());
      return 2;
    }
    query.children.push_back(std::move(term));
  }
  const std::unique_ptr<mp4index::Store> store = mp4index::openStore(*dbPath, false);
  mp4index::search(*store, query, json);
  return 0;
}

int runShow(int argc, char** argv, std::string* dbPath) {
  bool json = false;
  std::vector<std::string> paths;
  std::string error;
  if (!readArguments(argc, argv, &json, &paths, &error)) return usageError(error);
  if (paths.empty()) return usageError("no index (DB) given");
  *dbPath = paths.front();
  paths.erase(paths.begin());
  if (paths.empty()) return usageError("no paths given");
  const std::unique_ptr<mp4index::Store> store = mp4index::openStore(*dbPath, false);
  return mp4index::show(*store, paths, json) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("mp4index %s\n", MP4META_VERSION);
    return 0;
  }
  if (argc < 2) return usageError("no command given");
  const std::string command = argv[1];
  if (command != "update" && command != "watch" && command != "search" && command != "show") {
    return usageError("unknown command '" + command + "' (expected update, watch, search or show)");
  }
  std::string dbPath;
  int status;
  try {
    if (command == "update") {
      status = runUpdate(argc - 1, argv + 1, &dbPath);
    } else if (command == "watch") {
      status = runWatch(argc - 1, argv + 1, &dbPath);
    } else if (command == "search") {
      status = runSearch(argc - 1, argv + 1, &dbPath);
    } else {
      status = runShow(argc - 1, argv + 1, &dbPath);
    }
  } catch (const mp4index::DatabaseError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "mp4index: %s: %s\n", dbPath.c_str(), e.what());
    return 1;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "mp4index: cannot write the output: %s\n", std::strerror(errno));
    return 1;
  }
  return status;
}
