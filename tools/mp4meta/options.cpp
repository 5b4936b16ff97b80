#include "options.h"

#include <charconv>

namespace mp4meta {

namespace {

bool parseJobs(const std::string& text, unsigned* jobs, std::string* error) {
  // Digits only: from_chars takes no sign or space, and reports overflow.
  unsigned long value = 0;
  const char* end = text.data() + text.size();
  const std::from_chars_result parsed = std::from_chars(text.data(), end, value);
  if (parsed.ec != std::errc() || parsed.ptr != end || value == 0 || value > kMaxJobs) {
    *error =
        "invalid number of jobs '" + text + "' (expected 1 to " + std::to_string(kMaxJobs) + ")";
    return false;
  }
  *jobs = static_cast<unsigned>(value);
  return true;
}

}  // namespace

bool parseOptions(int argc, char** argv, Options* options, std::string* error) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      options->paths.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // Takes the value of an option: the rest of the argument, or the next
    // argument.
    auto value = [&](const std::string& name, std::string::size_type at, std::string* out) {
      if (at != std::string::npos) {
        *out = arg.substr(at);
        return true;
      }
      if (i + 1 >= argc) {
        *error = "option " + name + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    if (arg[1] == '-') {
      const std::string::size_type eq = arg.find('=');
      const std::string name = arg.substr(0, eq);
      const std::string::size_type at = eq == std::string::npos ? eq : eq + 1;
      std::string text;
      if (name == "--json" && eq == std::string::npos) {
        options->json = true;
      } else if (name == "--null" && eq == std::string::npos) {
        options->nulSeparated = true;
      } else if (name == "--help" && eq == std::string::npos) {
        options->help = true;
      } else if (name == "--version" && eq == std::string::npos) {
        options->version = true;
      } else if (name == "--files-from") {
        if (!value(name, at, &text)) return false;
        options->lists.push_back(text);
      } else if (name == "--stream") {
        if (!value(name, at, &text)) return false;
        if (text != "mapped" && text != "buffered") {
          *error = "invalid stream kind '" + text + "' (expected mapped or buffered)";
          return false;
        }
        options->plainFileReads = text == "buffered";
      } else if (name == "--archives") {
        if (!value(name, at, &text)) return false;
        if (text != "yes" && text != "no") {
          *error = "invalid value '" + text + "' for --archives (expected yes or no)";
          return false;
        }
        options->archives = text == "yes";
      } else if (name == "--jobs") {
        if (!value(name, at, &text) || !parseJobs(text, &options->jobs, error)) return false;
      } else {
        *error = "unknown option " + name;
        return false;
      }
      continue;
    }
    for (std::string::size_type k = 1; k < arg.size(); ++k) {
      const char c = arg[k];
      if (c == '0') {
        options->nulSeparated = true;
      } else if (c == 'h') {
        options->help = true;
      } else if (c == 'j') {
        std::string text;
        if (!value("-j", k + 1 < arg.size() ? k + 1 : std::string::npos, &text) ||
            !parseJobs(text, &options->jobs, error)) {
          return false;
        }
        break;
      } else {
        *error = std::string("unknown option -") + c;
        return false;
      }
    }
  }
  if (options->help || options->version) return true;
  if (options->paths.empty() && options->lists.empty()) {
    *error = "no files given";
    return false;
  }
  int stdinUses = 0;
  for (const std::string& p : options->paths) stdinUses += p == "-";
  for (const std::string& p : options->lists) stdinUses += p == "-";
  if (stdinUses > 1) {
    *error = "standard input (-) can be read only once";
    return false;
  }
  return true;
}

const char* usageText() {
  return "Usage: mp4meta [OPTION]... PATH...\n"
         "Print the metadata of MP4, M4A, 3GP and QuickTime files: tags, durations,\n"
         "codecs, picture size and audio format.\n"
         "\n"
         "Each PATH is a file, a directory (searched recursively, in byte order,\n"
         "without following symbolic links to directories) or - for standard input.\n"
         "Archives (zip, 7z, tar, tar.gz, tar.bz2, tar.xz, tar.zst) are looked into,\n"
         "whether named or found in a directory: each entry is reported as a file\n"
         "named ARCHIVE/ENTRY, in archive order, archives inside archives too.\n"
         "\n"
         "Options:\n"
         "      --json             print one line of JSON per file\n"
         "      --files-from FILE  also read paths from FILE (- for standard input),\n"
         "                         one per line\n"
         "  -0, --null             paths in --files-from lists end with a NUL byte\n"
         "                         instead of a newline (as from find -print0)\n"
         "  -j, --jobs N           analyse N files at a time (default: one per CPU);\n"
         "                         the output is the same for every N\n"
         "      --stream=KIND      how regular files are read: mapped (the default:\n"
         "                         read near the start, mapped beyond, so media data\n"
         "                         is never read) or buffered (every byte read into\n"
         "                         memory; slow, for checking); the output is the same\n"
         "      --archives=yes|no  yes (the default): report the entries of archives,\n"
         "                         to 4 levels deep; no: report archives as files\n"
         "  -h, --help             show this help and exit\n"
         "      --version          show the version and exit\n"
         "\n"
         "Text output gives each file's path, then one \"key: value\" line per value,\n"
         "with a blank line between files. JSON output gives one object per file:\n"
         "  {\"path\": ..., \"fields\": {\"key\": [value, ...], ...}}\n"
         "or {\"path\": ..., \"error\": ...} for a file that could not be read.\n"
         "\n"
         "Analyzer modules (strigita_*.so) are loaded from the directories listed\n"
         "in STRIGI_PLUGIN_PATH (separated by colons), or else from the directory\n"
         "they were installed into.\n"
         "\n"
         "An archive's entries cost bounded memory, temporary-file space (in TMPDIR)\n"
         "and time; an archive that is damaged, cut short or passes a limit is\n"
         "reported as an error after the entries read before. Nothing is extracted.\n"
         "\n"
         "Exit status: 0 if all went well, 1 if a file, an archive entry or a module\n"
         "could not be read, 2 for a wrong command line.\n";
}

const char* shortUsageText() {
  return "Usage: mp4meta [OPTION]... PATH...\n"
         "Try 'mp4meta --help' for more information.\n";
}

}  // namespace mp4meta
