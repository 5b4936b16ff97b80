// mp4meta run as a user runs it: on generated files and trees, files of
// gigabytes, standard input and file lists, with errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace
