// mp4meta run as a user runs it: on generated files and trees, files of
// gigabytes, standard input and file lists, archives (the samples packed
// into every format, hostile ones, a collector's view), with errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <mp4host/archive_walker.h>
#include <mp4host/report_format.h>
#include <path_source.h>
#include <runner.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "test_files.h"

namespace {

using Json = nlohmann::ordered_json;
using hosttest::runMp4meta;
using hosttest::RunOptions;
using hosttest::RunResult;
using hosttest::taggedSong;
using hosttest::TempDir;

std::vector<Json> jsonLines(const std::string& text) {
  std::vector<Json> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(Json::parse(line));
  return out;
}

std::vector<std::string> paths(const std::vector<Json>& reports) {
  std::vector<std::string> out;
  for (const Json& report : reports) out.push_back(report["path"]);
  return out;
}

// Output lines of both formats in input order; a missing path is reported
// and the run goes on. Exit status 1 when a file fails, the output cannot be
// written or a module cannot be loaded.
TEST(Mp4meta, OutputLinesOfBothFormatsAndFailedOutputOrModules) {
  TempDir dir;
  const std::string song = dir.write("song.m4a", taggedSong("Ti\"tle", 7));
  const std::string text = dir.write("notes.txt", "just some text, not a movie\n");
  // A cover of tens of kilobytes, as real ones are, goes out whole, in order.
  const std::string big = dir.write("big.m4a", taggedSong("Big", 1, 30000));
  const std::string missing = dir.path() + "/missing.m4a";
  // Standard input last, from a pipe: the same values as from the file.
  RunResult run = runMp4meta({"--json", song, missing, text, big, "-"}, {mp4test::readFile(big)});
  EXPECT_EQ(run.status, 1);
  std::vector<Json> lines = jsonLines(run.out);
  EXPECT_EQ(paths(lines), (std::vector<std::string>{song, missing, text, big, "-"}));
  EXPECT_EQ(lines.at(4)["fields"], lines.at(3)["fields"]);
  EXPECT_EQ(lines.at(0)["fields"]["audio.title"], Json::array({"Ti\"tle"}));
  EXPECT_EQ(lines.at(1), (Json{{"path", missing}, {"error", "No such file or directory"}}));
  EXPECT_EQ(lines.at(2)["fields"], Json::object());
  EXPECT_NE(run.out.find("\"/9j/4" + std::string(39995, 'A') + "\"}"), std::string::npos);
  EXPECT_EQ(run.err, "");
  // The shell points the tool's standard output at a full device.
  run = hosttest::runTool("/bin/sh", {"-c", "exec \"$0\" \"$@\" >/dev/full", MP4META_PATH, song});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "mp4meta: cannot write the output: No space left on device\n");
  // As text, errors go to standard error; after "--", what looks like an
  // option is a path (here one missing from the working directory).
  run = runMp4meta({text, song, "--", "--json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "mp4meta: --json: No such file or directory\n");
  EXPECT_EQ(run.out.substr(0, run.out.find("media.duration")),
            text + "\n\n" + song + "\nTODO_video.duration: 7\n");

  RunOptions options;
  options.pluginPath = "/nonexistent/modules:/nonexistent/b";
  run = runMp4meta({song}, options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("looked in: /nonexistent/modules, /nonexistent/b\n"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("STRIGI_PLUGIN_PATH"), std::string::npos) << run.err;
  // With the other modules loaded, an analyzer that throws fails its file.
  const std::string broken = dir.write("modules/strigita_broken.so", "garbage");
  std::filesystem::copy_file(FAKE_MODULE_PATH, dir.path() + "/modules/strigita_fake.so");
  const std::string bang = dir.write("bang", "!");
  options.pluginPath = dir.path() + "/modules:" + MP4_MODULE_DIR;
  run = runMp4meta({"--json", song, bang}, options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("mp4meta: " + broken + ": cannot load module: ", 0), 0u) << run.err;
  lines = jsonLines(run.out);
  EXPECT_EQ(paths(lines), (std::vector<std::string>{song, bang}));
  EXPECT_TRUE(lines.at(0)["fields"].contains("content.mime_type"));
  EXPECT_EQ(lines.at(1)["error"], "analysis failed: first byte '!'");
  // The broken module alone fails a run.
  EXPECT_EQ(runMp4meta({song}, options).status, 1);
}

TEST(Mp4meta, TreesInByteOrderAndParallelOrLimitedRunsPrintWhatSerialRunsPrint) {
  TempDir dir;
  dir.write("b.m4a", taggedSong("b", 1));
  dir.write("a.m4a", taggedSong("a", 2));
  dir.write("B.mp4", hosttest::videoFile(640, 480));
  dir.write("sub/c.m4a", taggedSong("c", 3));
  dir.write("sub/deeper/d.txt", "text");
  symlink("sub", (dir.path() + "/link-to-dir").c_str());
  symlink("a.m4a", (dir.path() + "/link-to-file").c_str());
  symlink("nowhere", (dir.path() + "/link-dangling").c_str());
  mkfifo((dir.path() + "/fifo").c_str(), 0600);
  const std::string d = dir.path() + "/";
  const std::vector<std::string> expected = {d + "B.mp4",     d + "a.m4a",
                                             d + "b.m4a",     d + "link-to-file",
                                             d + "sub/c.m4a", d + "sub/deeper/d.txt"};
  EXPECT_EQ(paths(jsonLines(runMp4meta({"--json", dir.path()}).out)), expected);
  // More files than a parallel run keeps in flight; the serial run reads
  // through the buffered stream, the parallel one through the mapped one.
  for (int i = 0; i < 150; ++i) {
    dir.write(
        "many/" + std::to_string(i % 30) + "/f" + std::to_string(i) + ".m4a",
        i % 3 ? taggedSong("song " + std::to_string(i), i % 5 + 1) : hosttest::videoFile(i, i + 1));
  }
  std::vector<std::string> args{"--json", dir.path(), SAMPLES_DIR, "--jobs=1", "--stream=buffered"};
  const RunResult serial = runMp4meta(args);
  ASSERT_EQ(serial.status, 0) << serial.err;
  EXPECT_GT(serial.out.size(), 20000u);
  args[3] = "-j4";
  args[4] = "--stream=mapped";
  // Also where directory entries come without their type and files cannot
  // be mapped.
  for (const char* preload : {"", AWKWARD_SYSTEM_PATH}) {
    RunOptions options;
    options.preload = preload;
    const RunResult parallel = runMp4meta(args, options);
    EXPECT_EQ(parallel.status, 0);
    EXPECT_EQ(parallel.out, serial.out) << preload;
  }
  // Under a descriptor limit below the count of named folders and files, a
  // run prints what it prints without one: none keeps its descriptor once
  // done, and a parallel run keeps fewer files open ahead.
  std::vector<std::string> named{"--nofile=20:20", MP4META_PATH, "--json", "--jobs=1"};
  for (int i = 0; i < 30; ++i) named.push_back(dir.path() + "/many/" + std::to_string(i));
  for (int i = 0; i < 30; ++i) named.push_back(named[i + 4] + "/f" + std::to_string(i) + ".m4a");
  const RunResult unlimited = runMp4meta({named.begin() + 2, named.end()});
  for (const char* jobs : {"--jobs=1", "--jobs=8"}) {
    named[3] = jobs;
    const RunResult limited = hosttest::runTool("/usr/bin/prlimit", named);
    EXPECT_EQ(limited.status, 0) << jobs << limited.err;
    EXPECT_EQ(limited.out, unlimited.out) << jobs;
  }
}

// On a terminal, while a named pipe holds the run up for over a second, a
// progress line counts the files printed and makes way for the next result.
TEST(Mp4meta, SlowInputKeepsItsPlaceWhileLaterFilesFinish) {
  TempDir dir;
  const std::string fifo = dir.path() + "/slow";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<std::string> args{"--json", "-j", "10", dir.write("first.m4a", taggedSong("x", 1)),
                                fifo};
  for (int i = 0; i < 3; ++i)
    args.push_back(dir.write(std::to_string(i) + ".m4a", taggedSong("x", 1)));
  // The named pipe delivers a song only once the other files are done.
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    std::ofstream(fifo, std::ios::binary) << taggedSong("slow", 9);
  });
  // script(1) runs the tool on a terminal of its own and copies out what it shows.
  std::string command = MP4META_PATH;
  for (const std::string& arg : args) command += " '" + arg + "'";
  const RunResult run = hosttest::runTool("/usr/bin/script", {"-qec", command, "/dev/null"});
  // Should the tool not have opened the pipe, this lets the writer finish.
  const int unblock = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  writer.join();
  close(unblock);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("\rmp4meta: 1 files\r" + std::string(16, ' ') + "\r{\"path\": \"" + fifo +
                         "\", \"fields\": {\"TODO_video.duration\": [9]"),
            std::string::npos)
      << run.out;
  EXPECT_LT(run.out.find(fifo), run.out.find(args[5]));
}

TEST(Mp4meta, FileLists) {
  TempDir dir;
  const std::string odd = dir.write("new\nline.m4a", taggedSong("odd", 1));
  const std::string plain = dir.write("plain.mp4", hosttest::videoFile(8, 8));
  const std::string inTree = dir.write("tree/t.m4a", taggedSong("t", 1));
  const std::string list0 = odd + '\0' + plain + '\0' + dir.path() + "/tree" + '\0';
  for (const char* nul : {"-0", "--null"}) {
    const RunResult run = runMp4meta({"--json", nul, "--files-from", "-"}, {list0});
    EXPECT_EQ(paths(jsonLines(run.out)), (std::vector<std::string>{odd, plain, inTree})) << run.err;
  }
  // Named paths come first, then each list in turn; empty lines are
  // skipped, a list that cannot be read is reported on standard error.
  const std::string list = dir.write("list.txt", plain + "\n\n" + inTree + "\n");
  const RunResult run = runMp4meta(
      {"--json", "--files-from", dir.path() + "/no-list", "--files-from=" + list, "--", plain});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(paths(jsonLines(run.out)), (std::vector<std::string>{plain, plain, inTree}));
  EXPECT_EQ(run.err, "mp4meta: " + dir.path() + "/no-list: No such file or directory\n");
}

TEST(Mp4meta, CommandLines) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"--fast", "x"},
                                             {"-x", "x"},
                                             {"--jobs", "0", "x"},
                                             {"-j", "2x", "x"},
                                             {"-j", "1025", "x"},
                                             {"-j", "18446744073709551617", "x"},
                                             {"x", "--files-from"},
                                             {"-", "--files-from", "-"}}) {
    const RunResult run = runMp4meta(args);
    EXPECT_EQ(run.status, 2) << testing::PrintToString(args);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("mp4meta: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("Usage: mp4meta"), std::string::npos) << run.err;
  }
  // The whole help, from the usage line on; the version line.
  for (const std::string arg : {"--help", "-h", "--version"}) {
    const RunResult run = runMp4meta({arg});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind(arg == "--version" ? "mp4meta " : "Usage: mp4meta", 0), 0u);
    EXPECT_EQ(run.out.find("--files-from") == std::string::npos, arg == "--version");
  }
}

// Files beyond 2 and 4 GiB, as cameras and phones write them: the movie box
// last, behind gigabytes of media data. Made sparse here, they must give
// what the same movie box gives in a small file.
TEST(LargeFile, GivesWhatTheSmallFileGives) {
  using namespace mp4test;
  const Track video{"vide", 600, 7200, stsd({videoEntry("avc1", 1920, 1080)})};
  const Track sound{"soun", 48000, 576000, stsd({audioEntry("mp4a", 2, 16, 48000u << 16)})};
  const Bytes moov = movie({video, sound}, {textItem("\251nam", "Holiday")}, 1000, 12000);
  TempDir dir;
  std::vector<std::string> args = {"--json",
                                   dir.write("small.mp4", ftyp() + box("mdat", "") + moov)};
  // 3 GB with a 32-bit size, the largest 32-bit size, 5 GB with a 64-bit
  // size, all before the movie; and 3 GB after it, to the end of the file.
  for (const uint64_t mediaSize : {3000000000ull, 0xFFFFFFFFull, 5000000000ull, 0ull}) {
    const uint64_t size = mediaSize ? mediaSize : 3000000000ull;
    const Bytes mdat = size > UINT32_MAX ? be32(1) + "mdat" + be64(size)
                                         : be32(static_cast<uint32_t>(size)) + "mdat";
    // The movie's bytes before and after the media data; a hole between.
    const Bytes head = mediaSize ? ftyp() + mdat : ftyp() + moov + mdat;
    const Bytes tail = mediaSize ? moov : "";
    const uint64_t tailAt = head.size() - mdat.size() + size;
    const std::string path = dir.write(std::to_string(mediaSize) + ".mp4", head);
    const bool holed = truncate(path.c_str(), static_cast<off_t>(tailAt)) == 0;
    std::ofstream(path, std::ios::binary | std::ios::app) << tail;
    struct stat st;
    if (!holed || stat(path.c_str(), &st) != 0 || st.st_blocks * 512 >= (1 << 20))
      GTEST_SKIP() << "cannot make a sparse file of " << tailAt << " bytes here";
    args.push_back(path);
  }
  // An empty standard error also says the stream came back at its start.
  const RunResult run = runMp4meta(args);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  std::vector<Json> fields;
  for (const Json& report : jsonLines(run.out)) fields.push_back(report["fields"]);
  ASSERT_EQ(fields.at(0)["content.mime_type"], Json::array({"video/mp4"}));
  EXPECT_EQ(fields, std::vector<Json>(5, fields[0]));
}

using hosttest::Member;
using hosttest::packArchive;

// A path as mp4meta's JSON gives it: a string, or base64 when not UTF-8.
Json jsonPath(const std::string& path) {
  std::string encoded;
  mp4host::appendBase64(encoded, path.data(), path.size());
  return mp4host::isValidUtf8(path.data(), path.size()) ? Json(path) : Json{{"base64", encoded}};
}

// Bytes that do not compress, so that no limit on expansion is met.
std::string noise(size_t n) {
  std::string s(n, '\0');
  uint64_t x = 88172645463325252u;
  for (char& c : s) c = static_cast<char>(x ^= x << 13, x ^= x >> 7, x ^= x << 17);
  return s;
}

// A movie with its movie box after mediaBytes of media data.
std::string movieLast(size_t mediaBytes, const std::string& title) {
  using namespace mp4test;
  const Track video{"vide", 600, 1200, stsd({videoEntry("avc1", 640, 360)})};
  return ftyp() + box("mdat", noise(mediaBytes)) +
         movie({video}, {textItem("\251nam", title)}, 600, 1200);
}

struct Packing {
  const char* format;
  const char* filter;
  const char* extension;
};

const Packing kPackings[] = {
    {"zip-stored", "", "zip"},   {"zip", "", "deflated.zip"},
    {"tar", "", "tar"},          {"tar", "gzip", "tar.gz"},
    {"tar", "bzip2", "tar.bz2"}, {"tar", "xz", "tar.xz"},
    {"tar", "zstd", "tar.zst"},  {"7z", "", "7z"},
};

// The samples in every format and in archives inside archives give their
// own reports as ARCHIVE/NAME, in archive order, for any number of jobs and
// either way of reading files; names that are not UTF-8 are shown as such.
TEST(Archives, SamplesInEveryFormatGiveTheFilesReports) {
  TempDir dir;
  std::vector<std::string> files{"--json"};
  for (const auto& e : std::filesystem::directory_iterator(SAMPLES_DIR)) {
    const std::string ext = e.path().extension();
    if (ext == ".m4a" || ext == ".mp4" || ext == ".mov") files.push_back(e.path());
  }
  std::sort(files.begin() + 1, files.end());
  ASSERT_GE(files.size(), 6u);
  const std::vector<Json> reports = jsonLines(hosttest::runMp4meta(files).out);
  // Half in a folder, half behind "./"; the last one's name is not UTF-8,
  // except in 7z, which stores names in UTF-16.
  const auto membersFor = [&](const std::string& format) {
    std::vector<Member> members{{"album", "", Member::Folder}};
    for (size_t i = 1; i < files.size(); ++i) {
      const std::string name = std::filesystem::path(files[i]).filename();
      members.push_back({(i % 2 ? "album/" : "./") + name, mp4test::readFile(files[i])});
    }
    members.back().name =
        format == "7z" ? "Caf\xC3\xA9/\xC3\xA9t\xC3\xA9.m4a" : "Caf\xC3\xA9/\xE9t\xE9.m4a";
    return members;
  };
  std::vector<std::string> args{"--json"};
  std::vector<Json> expected;
  const auto add = [&](const std::string& path, const std::string& inner,
                       const std::vector<Member>& members) {
    args.push_back(path);
    for (size_t i = 1; i < members.size(); ++i) {
      const std::string& name = members[i].name;
      expected.push_back(
          {{"path", jsonPath(path + "/" + inner + name.substr(name[0] == '.' ? 2 : 0))},
           {"fields", reports.at(i - 1)["fields"]}});
    }
  };
  for (const Packing& p : kPackings) {
    const std::vector<Member> members = membersFor(p.format);
    add(dir.write(std::string("a.") + p.extension, packArchive(p.format, members, p.filter)), "",
        members);
  }
  const std::vector<Member> members = membersFor("tar");
  add(dir.write("nested.zip",
                packArchive("zip", {{"in.tar.gz", packArchive("tar", members, "gzip")}})),
      "in.tar.gz/", members);
  add(dir.write("nested.tar",
                packArchive("tar", {{"x/in.zip", packArchive("zip-stored", members)}})),
      "x/in.zip/", members);
  const hosttest::RunResult run = hosttest::runMp4meta(args);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(jsonLines(run.out), expected);
  args[0] = "--jobs=1";
  args.insert(args.begin(), {"--json", "--stream=buffered"});
  EXPECT_EQ(hosttest::runMp4meta(args).out, run.out);
  // With archives off, an archive is a file.
  EXPECT_EQ(hosttest::runMp4meta({"--json", "--archives=no", args[3]}).out,
            "{\"path\": \"" + args[3] + "\", \"fields\": {}}\n");
}

// libarchive is loaded when the first archive is opened: one that cannot
// be loaded makes each archive an error that says so; other files are read.
TEST(Archives, WithoutLibarchiveEachArchiveIsAnErrorThatNamesIt) {
  TempDir dir;
  dir.write("lib/libarchive.so.13", "not a library");
  const std::string zip =
      dir.write("a.zip", packArchive("zip", {{"x.m4a", hosttest::taggedSong("Alpha", 3)}}));
  const std::string song = dir.write("b.m4a", hosttest::taggedSong("Beta", 3));
  hosttest::RunOptions options;
  options.environment = {{"LD_LIBRARY_PATH", dir.path() + "/lib"}};
  const hosttest::RunResult run = hosttest::runMp4meta({zip, song}, options);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(zip + ": cannot load libarchive, the archive library (Debian package "
                               "libarchive13): "),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find("audio.title: Beta"), std::string::npos) << run.out;
}

// A movie box after more media data than an entry stream keeps in memory:
// the stream keeps it on a temporary file (none can be made in a missing
// folder; none is left in TMPDIR), and the entry gives what the file gives.
TEST(Archives, MovieLastBeyondTheMemoryLimitIsKeptOnATemporaryFile) {
  TempDir dir, temp;
  const size_t media = static_cast<size_t>(mp4host::ArchiveLimits().memoryBytes) + (1 << 20);
  const std::string movie = movieLast(media, "Far");
  const std::string small = hosttest::taggedSong("Near", 2);
  std::vector<std::string> args{
      "TMPDIR=", MP4META_PATH, "--json", dir.write("movie.mp4", movie),
      dir.write("song.m4a", small),
      dir.write("a.tar.gz",
                packArchive("tar", {{"movie.mp4", movie}, {"song.m4a", small}}, "gzip")),
      dir.write("a.zip", packArchive("zip", {{"movie.mp4", movie}})),
      // Read in place (no temporary file), unless sparse (a hole in the
      // media data); the first one's data starts a read of the file.
      dir.write("a.tar",
                packArchive("tar", {{"pad", std::string(3072, 'p')},
                                    {"in-place.mp4", movie},
                                    {"movie.mp4",
                                     movie,
                                     Member::File,
                                     {{0, 4096}, {4608, int64_t(movie.size()) - 4608}}}}))};
  for (const std::string& tmp : {temp.path(), temp.path() + "/missing"}) {
    args[0] = "TMPDIR=" + tmp;
    const hosttest::RunResult run = hosttest::runTool("/usr/bin/env", args);
    const std::vector<Json> lines = jsonLines(run.out);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0]["fields"]["audio.title"], Json::array({"Far"}));
    EXPECT_EQ(lines[3]["fields"], lines[1]["fields"]);
    EXPECT_EQ(lines[6]["fields"], lines[0]["fields"]);
    if (tmp == temp.path()) {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(lines[2]["fields"], lines[0]["fields"]);
      EXPECT_EQ(lines[4]["fields"], lines[0]["fields"]);
      EXPECT_EQ(lines[7]["fields"], lines[0]["fields"]);
      EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
    } else {
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(lines[2]["error"], "cannot make a temporary file: No such file or directory");
    }
  }
  // As text, errors go to standard error, naming the archive and the entry.
  args.erase(args.begin() + 2);
  const std::string cannot =
      "/movie.mp4: cannot make a temporary file: No such file or directory\n";
  EXPECT_EQ(hosttest::runTool("/usr/bin/env", args).err, "mp4meta: " + args[4] + cannot +
                                                             "mp4meta: " + args[5] + cannot +
                                                             "mp4meta: " + args[6] + cannot);
}

// Logs "entry PATH[: ERROR]" and "end PATH[: ERROR]".
class RecordingSink : public mp4host::ArchiveSink {
 public:
  std::vector<std::string> events;
  void entry(const mp4host::ArchiveItem& item, const std::string& error) override {
    events.push_back("entry " + item.path + (error.empty() ? "" : ": " + error));
  }
  void archiveEnd(const mp4host::ArchiveItem& item, const std::string& error) override {
    events.push_back("end " + item.path + (error.empty() ? "" : ": " + error));
  }
};

mp4host::ArchiveLimits smallLimits() {
  mp4host::ArchiveLimits l;
  l.maxDepth = 3;
  l.maxEntries = 20;
  l.maxEntryBytes = 1 << 20;
  l.maxArchiveBytes = 8 << 20;
  l.ratioFloor = 256 << 10;
  l.maxRatio = 50;
  l.memoryBytes = 64 << 10;
  l.maxTempBytes = 512 << 10;
  return l;
}

std::string song(const char* title) { return hosttest::taggedSong(title, 1); }

struct HostileCase {
  const char* name;
  std::string archive;
  std::vector<std::string> events;
  mp4host::ArchiveLimits limits = smallLimits();
};

// A hostile archive gives a result or an error per entry and for itself, within limits.
TEST(Archives, HostileArchivesGiveAResultOrAnErrorWithinTheirLimits) {
  mp4host::ArchiveLimits bytes = smallLimits(), temp = smallLimits(), noTime = smallLimits();
  bytes.maxArchiveBytes = 1 << 20, temp.maxTempBytes = 4 << 20, noTime.maxSeconds = 0;
  const std::string bombed =
      "decompresses to more than 50 times its size (a bomb?); the rest is not read";
  const std::vector<Member> bomb{{"zeros", std::string(2 << 20, '\0')}, {"b.m4a", song("b")}};
  std::vector<Member> many;
  std::vector<std::string> manyEvents;
  for (int i = 0; i < 25; ++i) many.push_back({std::to_string(i), "x"});
  for (int i = 0; i < 20; ++i) manyEvents.push_back("entry A/" + std::to_string(i));
  manyEvents.push_back("end A: more than 20 entries (the limit); the rest is not read");
  const std::string l4 = packArchive("zip", {{"s.m4a", song("deep")}});
  const std::string l3 = packArchive("zip-stored", {{"l4.zip", l4}, {"s.m4a", song("3")}});
  const std::string plain =
      packArchive("tar", {{"one.m4a", song("1")}, {"two.mp4", movieLast(20000, "2")}});
  const std::string truncated =
      packArchive("tar", {{"one.m4a", song("1")}, {"two", noise(200000)}}, "gzip");
  const std::string movie = mp4test::ftyp() + mp4test::box("mdat", std::string(120000, 'a')) +
                            mp4test::box("moov", mp4test::box("free", "x"));
  std::string damaged = packArchive("zip", {{"one.mp4", movie}, {"two.m4a", song("2")}});
  damaged.replace(100, 20, std::string(20, '\xFF'));
  const HostileCase cases[] = {
      {"ExpansionBomb",
       packArchive("zip-stored", {{"in.tgz", packArchive("tar", bomb, "gzip")}, {"c", "x"}}),
       {"entry A/in.tgz/zeros", "end A/in.tgz: " + bombed, "end A: " + bombed}},
      {"BombInAZip", packArchive("zip", bomb), {"entry A/zeros", "entry A/b.m4a", "end A"}},
      {"BombPassedOver",
       packArchive("tar", {{"../zeros", bomb[0].data}, {"b.m4a", song("b")}}, "gzip"),
       {"entry A/../zeros: the entry's name leads out of the archive (\"..\"); not analysed",
        "end A: " + bombed}},
      {"AllTheBytesOfAnArchive",
       packArchive("tar", {{"a", noise(600 << 10)}, {"b", movieLast(450 << 10, "b")}}, "zstd"),
       {"entry A/a",
        "entry A/b: more than 1048576 bytes decompressed (the limit); the rest is not read",
        "end A: more than 1048576 bytes decompressed (the limit); the rest is not read"},
       bytes},
      {"ManyEntries", packArchive("zip", many), manyEvents},
      {"DeepNesting",
       packArchive("zip", {{"l2.tgz", packArchive("tar", {{"l3.zip", l3}}, "gzip")}}),
       {"entry A/l2.tgz/l3.zip/l4.zip: archives nested more than 3 deep are not opened (the limit)",
        "entry A/l2.tgz/l3.zip/s.m4a", "end A/l2.tgz/l3.zip", "end A/l2.tgz", "end A"}},
      {"Encrypted",
       packArchive("zip-encrypted", {{"s.m4a", song("secret")}}),
       {"entry A/s.m4a: the entry is encrypted; not analysed", "end A"}},
      {"TruncatedInPlace",
       plain.substr(0, plain.size() - 2000),
       {"entry A/one.m4a", "entry A/two.mp4: Truncated tar archive",
        "end A: Truncated tar archive"}},
      {"Truncated",
       truncated.substr(0, truncated.size() - 50000),
       {"entry A/one.m4a", "entry A/two", "end A: truncated gzip input"}},
      // libarchive gives up the whole zip then.
      {"DamagedMember",
       damaged,
       {"entry A/one.mp4: ZIP decompression failed (-3)", "end A: ZIP decompression failed (-3)"}},
      {"Names",
       packArchive("tar", {{"../up.m4a", song("up")},
                           {"/abs/s.m4a", song("abs")},
                           {"c\x01\x1b.m4a", song("ctl")},
                           {".", "x"},
                           {"d", "", Member::Folder},
                           {"link", "c.m4a", Member::Symlink}}),
       {"entry A/../up.m4a: the entry's name leads out of the archive (\"..\"); not analysed",
        "entry A/abs/s.m4a", "entry A/c\x01\x1b.m4a",
        "entry A/: the entry has no name; not analysed", "end A"}},
      {"EntryBeyondTheTemporaryFileLimit",
       packArchive("tar", {{"big.mp4", movieLast(700 << 10, "t")}, {"b.m4a", song("b")}}, "xz"),
       {"entry A/big.mp4: the entry needs more than 524288 bytes of temporary file (the limit)",
        "entry A/b.m4a", "end A"}},
      {"EntryBeyondItsLimit",
       packArchive("7z", {{"big.mp4", movieLast(1 << 20, "t")}}),
       {"entry A/big.mp4: the entry needs more than 1048576 bytes decompressed (the limit)",
        "end A"},
       temp},
      {"OutOfTime",
       packArchive("zip", {{"s.m4a", song("s")}}),
       {"end A: took more than 0 seconds (the limit); the rest is not read"},
       noTime},
      {"CompressedFileThatHoldsNoArchive",
       packArchive("raw", {{"data", "not a tar at all"}}, "bzip2"),
       {}},
  };
  hosttest::LoadedModule module;
  mp4host::Pipeline pipeline(module.plugins);
  TempDir dir;
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    mp4host::ArchiveWalker walker(pipeline, c.limits);
    const int fd = open(dir.write(c.name, c.archive).c_str(), O_RDONLY | O_CLOEXEC);
    RecordingSink sink;
    const mp4host::ArchiveItem file{"A", static_cast<int64_t>(c.archive.size())};
    EXPECT_EQ(walker.walk(fd, file, sink), !c.events.empty());
    close(fd);
    EXPECT_EQ(sink.events, c.events);
  }
  EXPECT_EQ(uselocale(static_cast<locale_t>(0)), LC_GLOBAL_LOCALE);
}

// Logs each take as "KIND PATH DEPTH SIZE" and " N values" or ": ERROR".
class RecordingCollector : public mp4meta::Collector {
 public:
  explicit RecordingCollector(std::string dir) : m_dir(std::move(dir)) {}
  std::vector<std::string> admits, takes;
  bool admit(const mp4meta::Input& input) override {
    admits.push_back(local(input.path));
    return input.path.find("skip") == std::string::npos;
  }
  void take(const mp4meta::Input& in, const mp4host::ValueRecorder* values,
            const std::string& error) override {
    static const char* const kKinds[] = {"file", "stdin", "failed", "list", "entry", "archive"};
    std::string line = std::string(kKinds[in.kind]) + " " + local(in.path);
    if (in.kind >= mp4meta::Input::Entry) {
      line += " " + std::to_string(in.depth) + " " + std::to_string(in.size);
      EXPECT_EQ(in.archive, in.path.substr(0, in.path.find('/', m_dir.size() + 1)));
      struct stat st;
      const int64_t mtime =
          stat(in.path.c_str(), &st) == 0 ? st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec : 0;
      EXPECT_EQ(in.mtimeNs, in.depth > 0 ? 1700000000000000000 : mtime) << in.path;
    }
    takes.push_back(
        line + (values ? " " + std::to_string(values->values().size()) + " values" : ": " + error));
  }

 private:
  std::string local(const std::string& path) const { return path.substr(m_dir.size() + 1); }
  std::string m_dir;
};

// A collector is asked about each file before it is opened, then given
// each entry of an archive (nested ones too, then their archive) in archive
// order, in batches, then the archive: with an error when it could not be
// read to its end. The same for every number of jobs.
TEST(Archives, CollectorSeesEachEntryThenItsArchiveInOrder) {
  TempDir dir;
  const std::string nested = packArchive("tar", {{"s.m4a", song("in")}, {"../x", ""}}, "gzip");
  std::vector<Member> many;
  std::vector<std::string> expected;
  for (int i = 0; i < 150; ++i) {
    if (i == 100) {
      many.push_back({"in.tgz", nested});
      expected.push_back("entry a.zip/in.tgz/s.m4a 2 " + std::to_string(song("in").size()) +
                         " 9 values");
      expected.push_back(
          "entry a.zip/in.tgz/../x 2 0: the entry's name leads out of the archive (\"..\"); not "
          "analysed");
      expected.push_back("archive a.zip/in.tgz 1 " + std::to_string(nested.size()) + " 0 values");
    }
    many.push_back({"e" + std::to_string(1000 + i), "x"});
    expected.push_back("entry a.zip/e" + std::to_string(1000 + i) + " 1 1 0 values");
  }
  const std::string cut = packArchive("tar", {{"s.m4a", song("s")}, {"n", noise(100000)}}, "gzip");
  const std::vector<std::string> paths{
      dir.write("a.zip", packArchive("zip", many)), dir.write("skip.zip", packArchive("zip", many)),
      dir.write("song.m4a", song("s")), dir.write("cut.tar.gz", cut.substr(0, cut.size() - 30000))};
  expected.push_back("archive a.zip 0 " + std::to_string(std::filesystem::file_size(paths[0])) +
                     " 0 values");
  expected.push_back("file song.m4a 9 values");
  expected.push_back("entry cut.tar.gz/s.m4a 1 " + std::to_string(song("s").size()) + " 9 values");
  expected.push_back("entry cut.tar.gz/n 1 100000 0 values");
  expected.push_back("archive cut.tar.gz 0 " + std::to_string(cut.size() - 30000) +
                     ": truncated gzip input");
  hosttest::LoadedModule module;
  for (const unsigned jobs : {1u, 3u}) {
    RecordingCollector collector(dir.path());
    mp4meta::PathSource source(paths, {}, '\n');
    mp4meta::RunSettings settings;
    settings.jobs = jobs;
    settings.collector = &collector;
    settings.archives = true;
    EXPECT_FALSE(mp4meta::runAnalysis(module.plugins, source, settings));
    EXPECT_EQ(collector.admits,
              (std::vector<std::string>{"a.zip", "skip.zip", "song.m4a", "cut.tar.gz"}));
    EXPECT_EQ(collector.takes, expected) << jobs;
  }
}

}  // namespace
