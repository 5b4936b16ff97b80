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

#include "index_name.h"
#include "query.h"
#include "search.h"
#include "store.h"
#include "update.h"
#include "watch.h"

namespace {

const char kUsage[] =
    "Usage: mp4index update [DB] [OPTION]... PATH...\n"
    "  or:  mp4index watch [DB] [OPTION]... FOLDER...\n"
    "  or:  mp4index search [DB] [OPTION]... TERM...\n"
    "  or:  mp4index show [DB] [--json] PATH...\n"
    "Keep a search index (an SQLite database, DB, or a PostgreSQL database many\n"
    "machines share) of the metadata of MP4, M4A, 3GP and QuickTime files, and\n"
    "query it.\n"
    "\n"
    "The index is the one --index DB names, else DB, the first argument when\n"
    "it ends in .db or is an SQLite database (for update also when nothing is\n"
    "there yet and a PATH follows), else $MP4INDEX_DB, else the user's own:\n"
    "$XDG_DATA_HOME/mp4index/index.db (~/.local/share/mp4index/index.db),\n"
    "made by the first update. A DB that is a postgresql:// URI or a libpq\n"
    "connection string (host=... dbname=...) is a database on a PostgreSQL\n"
    "server; passwords come from ~/.pgpass or the service file.\n"
    "\n"
    "On PostgreSQL each file is stored under its source, the machine that\n"
    "indexed it: --source NAME, else $MP4INDEX_SOURCE, else the host name.\n"
    "update and watch change the files of their own source only; search\n"
    "prints another source's files as SOURCE:PATH (with a \"source\" member\n"
    "in JSON) and show takes SOURCE:PATH too. The term source:NAME selects\n"
    "a source's files.\n"
    "\n"
    "update analyses the files under each PATH (a file or a folder, searched\n"
    "recursively) whose size or modification time changed since the last\n"
    "update, stores what was found, and removes the files under the PATHs\n"
    "that are gone. It creates DB when it does not exist. The walker's notes\n"
    "on malformed boxes are shown with the file they are about. Options:\n"
    "      --files-from FILE  also index the paths in FILE (- for standard\n"
    "                         input), one per line\n"
    "  -0, --null             paths in --files-from lists end with a NUL byte\n"
    "  -j, --jobs N           analyse N files at a time (default: one per CPU)\n"
    "      --archives=yes|no  yes (the default): store the entries of zip, 7z\n"
    "                         and tar archives (and of archives in them, 4 levels\n"
    "                         deep) as files named ARCHIVE/ENTRY, an archive read\n"
    "                         again only when it changed; no: an archive is a\n"
    "                         file like any other\n"
    "\n"
    "watch updates DB as update does, then follows every change under the\n"
    "FOLDERs (files written, moved, renamed, deleted; folders made, moved,\n"
    "deleted) and stores it within a second, until stopped by SIGINT or\n"
    "SIGTERM. A file written through a descriptor kept open is analysed once\n"
    "it has been quiet for a while. When the kernel's event queue overflows,\n"
    "every FOLDER is scanned again; folders left unwatched by the inotify\n"
    "watch limit (fs.inotify.max_user_watches) are named in a message and\n"
    "rescanned at intervals. Options: --jobs, --archives, and\n"
    "      --rescan-interval S  seconds between rescans of unwatched folders\n"
    "                         (default: 300)\n"
    "      --quiet-period S   seconds a file written through a descriptor kept\n"
    "                         open must be quiet to be analysed (default: 2)\n"
    "Any number of update and watch processes may write one index at once.\n"
    "\n"
    "search prints the paths of the files that match every TERM:\n"
    "  WORDS            the words in any text value (any case, accents ignored);\n"
    "                   an argument with spaces or in \"quotes\" is a phrase\n"
    "  WORD*            words that begin so (beat*)\n"
    "  FIELD:WORDS      the words in a value of that field (artist:beatles,\n"
    "                   artist:beat*, title:\"let it be\")\n"
    "  FIELD=VALUE      a value exactly (genre=Jazz, samplerate=48000, track=5)\n"
    "  FIELD>N, FIELD>=N, FIELD<N, FIELD<=N\n"
    "                   compared (width>=1920, duration>=1h30m, size>1G,\n"
    "                   year<1970, modified>=2024-01-01)\n"
    "  has:FIELD, missing:FIELD, -FIELD\n"
    "                   files with (without) a value of that field\n"
    "  A OR B           either; OR binds closer than the AND between terms\n"
    "  -TERM, NOT TERM  files that do not match\n"
    "  ( ... )          grouping; each of OR, AND, NOT, ( and ) is an argument\n"
    "                   of its own (quote the parentheses for the shell)\n"
    "\n"
    "Fields, by the short name or the key mp4meta prints:\n"
    "  title        audio.title             albumartist  TODO_audio.albumartist\n"
    "  artist       audio.artist            album        audio.album\n"
    "  composer     content.author          comment      content.comment\n"
    "  genre        content.genre           year, date   content.creation_time\n"
    "  track        TODO_trackNumber        disc         TODO_discNumber\n"
    "  tool         content.generator       copyright    content.copyright\n"
    "  keyword      content.keyword         description  content.description\n"
    "  purchaser    TODO_content.purchaser  purchased    TODO_content.purchasedate\n"
    "  link         content.links           rating       user.rating\n"
    "  cover        content.thumbnail (yes or no)\n"
    "  duration     TODO_video.duration (seconds; 90, 5m, 1h30m, 1:30:00)\n"
    "  width        image.width             height       image.height\n"
    "  videocodec   av.video_codec          audiocodec   av.audio_codec\n"
    "  channels     audio.channel_count     samplerate   media.sample_rate\n"
    "  sampleformat media.sample_format     type         content.mime_type\n"
    "  path, name   the words of the file's path, of its name\n"
    "  ext          the extension (ext=m4a), any case\n"
    "  source       the machine (source) that indexed the file (source:nas)\n"
    "  size         bytes; K, M, G, T are powers of 1024 (700K, 1.5G)\n"
    "  modified     the modification time, local (2024, 2024-05, 2024-05-31,\n"
    "               2024-05-31T18:30)\n"
    "Dates (year, date, purchased, modified) compare to the precision written:\n"
    "year=1969 is any moment of 1969, modified>2024-05 from June 2024 on.\n"
    "\n"
    "search options:\n"
    "      --json             the matching files as mp4meta --json prints them\n"
    "      --count            print the number of matching files alone\n"
    "      --sort FIELD,...   sort by the fields (-FIELD: descending), then by\n"
    "                         path; files without the field come last\n"
    "      --limit N          print the first N files only\n"
    "      --fields FIELD,... one row per file: these fields (path, name, ext,\n"
    "                         size and modified too), several values of a field\n"
    "                         joined by | (a | in a value written \\|)\n"
    "      --format FORMAT    tsv (the default for --fields), csv or json\n"
    "\n"
    "show prints what is stored for each PATH (a file, or every file under a\n"
    "folder) as mp4meta prints it.\n"
    "\n"
    "      --index DB         the index to use\n"
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
    "Usage: mp4index update|watch|search|show [DB] ...\n"
    "Try 'mp4index --help' for more information.\n";

int usageError(const std::string& message) {
  std::fprintf(stderr, "mp4index: %s\n%s", message.c_str(), kShortUsage);
  return 2;
}

// A command's arguments, argv[0] (the command) left out.
std::vector<std::string> argumentsOf(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

// The source of the files this process writes and shows by path alone.
std::string g_source;

// The index every command uses, and the source, taken out of its
// arguments.
bool chooseIndex(std::vector<std::string>* args, bool creating, mp4index::IndexName* index,
                 std::string* dbPath, int* status) {
  std::string error;
  if (!mp4index::takeSource(args, &g_source, &error) ||
      !mp4index::takeIndexName(args, creating, index, &error)) {
    *status = usageError(error);
    return false;
  }
  *dbPath = index->path;
  return true;
}

// update's and watch's arguments: the index and the settings, or -1 and
// the exit status of a usage error.
int readUpdateArguments(int argc, char** argv, std::string* dbPath, mp4index::IndexName* index,
                        mp4index::UpdateSettings* settings) {
  std::vector<std::string> args = argumentsOf(argc, argv);
  int status = 0;
  if (!chooseIndex(&args, true, index, dbPath, &status)) return status;
  // The other options are mp4meta's.
  std::vector<char*> rest{argv[0]};
  for (std::string& arg : args) rest.push_back(arg.data());
  rest.push_back(nullptr);
  mp4meta::Options options;
  std::string error;
  if (!mp4meta::parseOptions(static_cast<int>(rest.size() - 1), rest.data(), &options, &error)) {
    return usageError(error);
  }
  if (options.json || options.help || options.version) {
    return usageError(std::string(argv[0]) + " takes no --json, --help or --version");
  }
  if (options.paths.empty() && options.lists.empty()) return usageError("no files given");
  for (const std::string& path : options.paths) {
    if (path == "-") return usageError("standard input cannot be indexed: it has no path");
    settings->roots.push_back(mp4index::absolutePath(path));
  }
  settings->lists = options.lists;
  settings->listSeparator = options.nulSeparated ? '\0' : '\n';
  settings->jobs = options.jobs != 0 ? options.jobs : mp4meta::defaultJobs();
  settings->plainFileReads = options.plainFileReads;
  settings->archives = options.archives;
  return -1;
}

std::unique_ptr<mp4index::Store> openForWriting(const mp4index::IndexName& index,
                                                const std::string& dbPath) {
  std::string error;
  if (!mp4index::makeIndexFolder(index, &error)) throw mp4index::DatabaseError(error);
  int64_t rebuiltFrom = 0;
  std::unique_ptr<mp4index::Store> store =
      mp4index::openStore(dbPath, true, g_source, &rebuiltFrom);
  if (rebuiltFrom != 0) {
    std::fprintf(stderr,
                 "mp4index: %s: the index was made by an older mp4index (schema version %lld): "
                 "made anew, every file is analysed again\n",
                 dbPath.c_str(), static_cast<long long>(rebuiltFrom));
  }
  return store;
}

int runUpdate(int argc, char** argv, std::string* dbPath) {
  mp4index::IndexName index;
  mp4index::UpdateSettings settings;
  const int status = readUpdateArguments(argc, argv, dbPath, &index, &settings);
  if (status >= 0) return status;
  const std::unique_ptr<mp4index::Store> store = openForWriting(index, *dbPath);
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
  mp4index::IndexName index;
  const int status = readUpdateArguments(static_cast<int>(rest.size()), rest.data(), dbPath, &index,
                                         &settings.update);
  if (status >= 0) return status;
  if (!settings.update.lists.empty()) return usageError("watch follows folders, not lists");
  if (!mp4index::checkWatchRoots(&settings, &error)) {
    std::fprintf(stderr, "mp4index: %s\n", error.c_str());
    return 1;
  }
  const std::unique_ptr<mp4index::Store> store = openForWriting(index, *dbPath);
  Strigi::FieldRegister fields;
  mp4host::PluginSet plugins;
  if (!mp4meta::loadAnalyzers("mp4index", plugins, fields)) return 1;
  return mp4index::watch(*store, plugins, settings);
}

// The options of search and show; every other argument is a term or a
// path ("-key" is a term). Options take their value as the next argument
// or after '='.
struct ReadOptions {
  bool json = false;
  bool count = false;
  std::string limit, sort, fields, format;
};

bool readArguments(const std::vector<std::string>& in, bool searching, ReadOptions* options,
                   std::vector<std::string>* args, std::string* error) {
  bool optionsEnded = false;
  for (size_t i = 0; i < in.size(); ++i) {
    const std::string& arg = in[i];
    if (optionsEnded || arg.compare(0, 2, "--") != 0) {
      args->push_back(arg);
      continue;
    }
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    std::string* value = nullptr;
    if (searching) {
      value = name == "--limit"    ? &options->limit
              : name == "--sort"   ? &options->sort
              : name == "--fields" ? &options->fields
              : name == "--format" ? &options->format
                                   : nullptr;
    }
    if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--json") {
      options->json = true;
    } else if (searching && arg == "--count") {
      options->count = true;
    } else if (value && equals != std::string::npos) {
      *value = arg.substr(equals + 1);
    } else if (value && i + 1 < in.size()) {
      *value = in[++i];
    } else if (value) {
      *error = name + " needs a value";
      return false;
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  return true;
}

// The output a search asks for.
bool outputOf(const ReadOptions& read, mp4index::OutputOptions* out, std::string* error) {
  using mp4index::OutputOptions;
  if (read.json && !(read.fields.empty() && read.format.empty())) {
    *error = "--json prints whole reports; for chosen fields use --format json --fields ...";
    return false;
  }
  if (read.count && (read.json || !read.fields.empty() || !read.format.empty() ||
                     !read.sort.empty() || !read.limit.empty())) {
    *error = "--count prints a number alone: it takes no other output option";
    return false;
  }
  out->count = read.count;
  if (read.json) out->format = OutputOptions::Json;
  if (!read.format.empty() || !read.fields.empty()) {
    const std::string& format = read.format.empty() ? std::string("tsv") : read.format;
    if (format == "tsv") {
      out->format = OutputOptions::Tsv;
    } else if (format == "csv") {
      out->format = OutputOptions::Csv;
    } else if (format == "json") {
      out->format = OutputOptions::JsonRows;
    } else {
      *error = "unknown --format '" + format + "' (expected tsv, csv or json)";
      return false;
    }
    if (!mp4index::parseFieldList(read.fields.empty() ? "path" : read.fields, &out->fields,
                                  error)) {
      *error = "--fields: " + *error;
      return false;
    }
  }
  if (!read.sort.empty() && !mp4index::parseSortList(read.sort, &out->sort, error)) {
    *error = "--sort: " + *error;
    return false;
  }
  if (!read.limit.empty()) {
    int64_t n = 0;
    if (!mp4index::wholeNumber(read.limit, &n) || n < 0) {
      *error = "--limit: '" + read.limit + "' is not a number of files";
      return false;
    }
    out->limit = static_cast<uint64_t>(n);
  }
  return true;
}

int runSearch(int argc, char** argv, std::string* dbPath) {
  std::vector<std::string> all = argumentsOf(argc, argv);
  mp4index::IndexName index;
  int status = 0;
  if (!chooseIndex(&all, false, &index, dbPath, &status)) return status;
  ReadOptions read;
  std::vector<std::string> args;
  std::string error;
  if (!readArguments(all, true, &read, &args, &error)) return usageError(error);
  mp4index::OutputOptions output;
  if (!outputOf(read, &output, &error)) return usageError(error);
  if (args.empty()) return usageError("no search terms given");
  mp4index::QueryNode query;
  if (!mp4index::parseQuery(args, &query, &error)) {
    std::fprintf(stderr, "mp4index: %s\n", error.c_str());
    return 2;
  }
  const std::unique_ptr<mp4index::Store> store = mp4index::openStore(*dbPath, false, g_source);
  mp4index::search(*store, query, output);
  return 0;
}

int runShow(int argc, char** argv, std::string* dbPath) {
  std::vector<std::string> all = argumentsOf(argc, argv);
  mp4index::IndexName index;
  int status = 0;
  if (!chooseIndex(&all, false, &index, dbPath, &status)) return status;
  ReadOptions read;
  std::vector<std::string> paths;
  std::string error;
  if (!readArguments(all, false, &read, &paths, &error)) return usageError(error);
  if (paths.empty()) return usageError("no paths given");
  const std::unique_ptr<mp4index::Store> store = mp4index::openStore(*dbPath, false, g_source);
  return mp4index::show(*store, paths, read.json) ? 0 : 1;
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
    std::fprintf(stderr, "mp4index: %s: %s\n", mp4index::shownIndexName(dbPath).c_str(), e.what());
    return 1;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "mp4index: cannot write the output: %s\n", std::strerror(errno));
    return 1;
  }
  return status;
}
