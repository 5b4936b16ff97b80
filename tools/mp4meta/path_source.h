// The inputs of one run, produced one at a time: the command-line paths
// (directories walked as they come), then the paths of the --files-from
// lists.
#ifndef MP4META_PATH_SOURCE_H
#define MP4META_PATH_SOURCE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace mp4meta {

struct Input {
  enum Kind {
    File,        // a file to analyse
    Stdin,       // standard input, shown as "-"
    Failed,      // a path that cannot be analysed; error says why
    ListFailed,  // a --files-from list that cannot be read; error says why
    // What a run makes of a file that is an archive (see Collector):
    Entry,   // an entry of it (or of an archive inside it)
    Archive  // the archive, after its entries
  };
  static constexpr int64_t kNoTime = INT64_MIN;

  Kind kind = File;
  // An entry's path is its archive's path, "/" and the entry's name in it.
  std::string path;
  std::string error;
  // A regular file named on the command line or in a list comes open (the
  // descriptor is the consumer's to close), with its size and modification
  // time; otherwise -1, 0 and kNoTime. An entry or archive has no
  // descriptor, and the size (-1: not recorded) and time (kNoTime: not
  // recorded) the archive records; the archive file itself, its own.
  int fd = -1;
  int64_t size = 0;
  int64_t mtimeNs = kNoTime;
  // Entry and Archive: the path of the file that holds them, and how deep
  // inside it they are (1: an entry of the file; 2: an entry of an archive
  // in it...; 0: the file itself).
  std::string archive{};
  int depth = 0;
};

// Produces inputs lazily, so that memory stays flat however many files a
// tree or a list holds: a directory level is read (and sorted) only when
// the walk reaches it, and a list is read one path at a time.
//
// Directories are walked depth first, the entries of each in byte-wise
// order; regular files and symbolic links to regular files are given,
// symbolic links to directories are not followed, other kinds of files are
// passed over. A path named on the command line or in a list is followed
// even when it is a symbolic link.
class PathSource {
 public:
  PathSource(std::vector<std::string> paths, std::vector<std::string> lists, char listSeparator);
  ~PathSource();
  PathSource(const PathSource&) = delete;
  PathSource& operator=(const PathSource&) = delete;

  // The next input; false when there are no more.
  bool next(Input* input);

 private:
  // One directory being walked: its entries' names (each ending with a
  // zero byte) and types, sorted, and how far the walk has come.
  struct Level {
    std::string path;
    std::string names;
    std::vector<std::pair<uint32_t, unsigned char>> entries;  // name offset, d_type
    size_t index = 0;
  };

  bool nextFromWalk(Input* input);
  // The next path of the lists; false when a list ended or a directory's
  // walk was started instead.
  bool nextFromLists(Input* input);
  // Classifies a named path: a file, a directory (whose walk is started) or
  // an error. Returns true when input was set.
  bool named(const std::string& path, Input* input);
  // Reads a directory onto the walk stack; on failure sets input to the
  // error and returns false.
  bool enter(const std::string& path, Input* input);

  std::vector<std::string> m_paths;
  size_t m_nextPath = 0;
  std::vector<std::string> m_lists;
  size_t m_nextList = 0;
  char m_separator;
  FILE* m_list = nullptr;
  std::string m_listName;
  char* m_line = nullptr;
  size_t m_lineCapacity = 0;
  std::vector<Level> m_walk;
};

}  // namespace mp4meta

#endif
