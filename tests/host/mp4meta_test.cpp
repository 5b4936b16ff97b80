// mp4meta run as a user runs it: on the committed samples, on generated
// files and trees, on standard input and file lists, with errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_files.h"

namespace {

using Json = nlohmann::json;
using hosttest::runMp4meta;
using hosttest::RunOptions;
using hosttest::RunResult;
using hosttest::TempDir;

const std::string kSamples = SAMPLES_DIR;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<Json> jsonLines(const std::string& text) {
  std::vector<Json> out;
  for (const std::string& line : lines(text)) out.push_back(Json::parse(line));
  return out;
}

std::vector<std::string> paths(const std::string& jsonOut) {
  std::vector<std::string> out;
  for (const Json& report : jsonLines(jsonOut)) out.push_back(report["path"]);
  return out;
}

TEST(Mp4meta, JsonLineHasTheDocumentedShape) {
  TempDir dir;
  const std::string path = dir.write("song.m4a", hosttest::taggedSong("Ti\"tle", 7));
  const RunResult run = runMp4meta({"--json", path});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(
      run.out,
      "{\"path\": \"" + path +
          "\", \"fields\": {\"TODO_video.duration\": [7], \"media.duration\": [7], "
          "\"audio.channel_count\": [2], \"media.sample_format\": [\"16 bit int\"], "
          "\"media.sample_rate\": [44100], \"av.audio_codec\": [\"mp4a\"], "
          "\"audio.title\": [\"Ti\\\"tle\"], \"content.thumbnail\": [{\"base64\": "
          "\"/9j/"
          "4AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==\"}"
          "], \"content.mime_type\": [\"audio/mp4\"]}}\n");
  EXPECT_EQ(run.err, "");
}

TEST(Mp4meta, FileThatIsNotMp4HasNoFields) {
  TempDir dir;
  const std::string path = dir.write("notes.txt", "just some text, not a movie\n");
  RunResult run = runMp4meta({"--json", path});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "{\"path\": \"" + path + "\", \"fields\": {}}\n");
  run = runMp4meta({path});
  EXPECT_EQ(run.out, path + "\n");
}

// A tree with files of every kind the walk meets.
class Tree : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir.write("b.m4a", hosttest::taggedSong("b", 1));
    m_dir.write("a.m4a", hosttest::taggedSong("a", 2));
    m_dir.write("B.mp4", hosttest::videoFile(640, 480));
    m_dir.write("sub/c.m4a", hosttest::taggedSong("c", 3));
    m_dir.write("sub/deeper/d.txt", "text");
    m_dir.write("sub/deeper/e.mp4", hosttest::videoFile(16, 16));
    symlink("sub", (m_dir.path() + "/link-to-dir").c_str());
    symlink("a.m4a", (m_dir.path() + "/link-to-file").c_str());
    symlink("nowhere", (m_dir.path() + "/link-dangling").c_str());
    mkfifo((m_dir.path() + "/fifo").c_str(), 0600);
  }
  TempDir m_dir;
};

TEST_F(Tree, WalkIsRecursiveInByteOrderOverRegularFiles) {
  const RunResult run = runMp4meta({"--json", m_dir.path()});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string d = m_dir.path() + "/";
  EXPECT_EQ(paths(run.out), (std::vector<std::string>{
                                d + "B.mp4", d + "a.m4a", d + "b.m4a", d + "link-to-file",
                                d + "sub/c.m4a", d + "sub/deeper/d.txt", d + "sub/deeper/e.mp4"}));
}

TEST_F(Tree, ParallelMappedRunPrintsExactlyWhatASerialBufferedRunPrints) {
  // More files than the parallel run keeps in flight.
  for (int i = 0; i < 150; ++i) {
    m_dir.write("many/" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".m4a",
                i % 3 ? hosttest::taggedSong("song " + std::to_string(i), i % 5 + 1)
                      : hosttest::videoFile(i, i + 1));
  }
  for (const bool json : {true, false}) {
    // The serial run reads through the plain buffered stream, the parallel
    // one through the mapped file stream.
    std::vector<std::string> args{m_dir.path(), kSamples, "--jobs=1", "--stream=buffered"};
    if (json) args.push_back("--json");
    const RunResult serial = runMp4meta(args);
    args[2] = "--jobs=4";
    args[3] = "--stream=mapped";
    const RunResult parallel = runMp4meta(args);
    ASSERT_EQ(serial.status, 0) << serial.err;
    EXPECT_EQ(parallel.status, 0);
    EXPECT_EQ(parallel.out, serial.out) << json;
    EXPECT_GT(lines(serial.out).size(), 50u);
  }
}

TEST(Mp4meta, SlowInputKeepsItsPlaceWhileLaterFilesFinish) {
  TempDir dir;
  const std::string fifo = dir.path() + "/slow";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<std::string> args{"--json", "--jobs", "4", fifo};
  for (int i = 0; i < 3; ++i) {
    args.push_back(dir.write(std::to_string(i) + ".m4a", hosttest::taggedSong("x", 1)));
  }
  // The named pipe delivers a song only once the other files are done.
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::ofstream(fifo, std::ios::binary) << hosttest::taggedSong("slow", 9);
  });
  const RunResult run = runMp4meta(args);
  // Should the tool not have opened the pipe, this lets the writer finish.
  const int unblock = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  writer.join();
  close(unblock);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<Json> reports = jsonLines(run.out);
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[0]["path"], fifo);
  EXPECT_EQ(reports[0]["fields"]["audio.title"].at(0), "slow");
}

TEST(Mp4meta, MissingPathIsReportedAndTheRunGoesOn) {
  TempDir dir;
  const std::string song = dir.write("song.m4a", hosttest::taggedSong("x", 1));
  const std::string missing = dir.path() + "/missing.m4a";
  RunResult run = runMp4meta({"--json", missing, song});
  EXPECT_EQ(run.status, 1);
  std::vector<Json> reports = jsonLines(run.out);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0]["path"], missing);
  EXPECT_EQ(reports[0]["error"], "No such file or directory");
  EXPECT_FALSE(reports[0].contains("fields"));
  EXPECT_TRUE(reports[1].contains("fields"));
  EXPECT_EQ(run.err, "");

  run = runMp4meta({missing, song});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "mp4meta: " + missing + ": No such file or directory\n");
  EXPECT_EQ(lines(run.out).at(0), song);
}

TEST(Mp4meta, UnreadableDirectoryIsReportedAndTheRunGoesOn) {
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string song = dir.write("z.m4a", hosttest::taggedSong("x", 1));
  const std::string locked = dir.mkdir("locked");
  dir.write("locked/hidden.m4a", hosttest::taggedSong("y", 1));
  chmod(locked.c_str(), 0);
  RunOptions options;
  // Root reads every directory; the tool then runs as an ordinary user.
  options.asNobody = geteuid() == 0;
  const RunResult run = runMp4meta({"--json", dir.path()}, options);
  chmod(locked.c_str(), 0755);
  if (run.status >= 125) GTEST_SKIP() << "cannot run the tool as an ordinary user here";
  EXPECT_EQ(run.status, 1) << run.err;
  const std::vector<Json> reports = jsonLines(run.out);
  ASSERT_EQ(reports.size(), 2u) << run.out;
  EXPECT_EQ(reports[0]["path"], locked);
  EXPECT_EQ(reports[0]["error"], "Permission denied");
  EXPECT_EQ(reports[1]["path"], song);
}

TEST(Mp4meta, StandardInputAsDash) {
  const std::string song = hosttest::taggedSong("From a pipe", 4);
  TempDir dir;
  const std::string path = dir.write("song.m4a", song);
  RunOptions options;
  options.stdinIsPipe = true;
  options.stdinData = song;
  const RunResult fromPipe = runMp4meta({"--json", "-"}, options);
  const RunResult fromFile = runMp4meta({"--json", path});
  ASSERT_EQ(fromPipe.status, 0) << fromPipe.err;
  const Json piped = Json::parse(fromPipe.out);
  EXPECT_EQ(piped["path"], "-");
  // The same values as from the file, the mime type included.
  EXPECT_EQ(fromPipe.out.substr(fromPipe.out.find("\"fields\"")),
            fromFile.out.substr(fromFile.out.find("\"fields\"")));
  EXPECT_TRUE(piped["fields"].contains("content.mime_type"));
}

TEST(Mp4meta, PathsFromListsSeparatedByNewlinesOrNulBytes) {
  TempDir dir;
  const std::string odd = dir.write("new\nline.m4a", hosttest::taggedSong("odd", 1));
  const std::string plain = dir.write("plain.mp4", hosttest::videoFile(8, 8));
  const std::string tree = dir.mkdir("tree");
  const std::string inTree = dir.write("tree/t.m4a", hosttest::taggedSong("t", 1));

  RunOptions options;
  options.stdinIsPipe = true;
  options.stdinData = odd + '\0' + plain + '\0' + tree + '\0';
  RunResult run = runMp4meta({"--json", "-0", "--files-from", "-"}, options);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(paths(run.out), (std::vector<std::string>{odd, plain, inTree}));

  // Named paths come first, then each list in turn; empty lines are skipped.
  const std::string list = dir.write("list.txt", plain + "\n\n" + inTree + "\n");
  run = runMp4meta({"--json", "--files-from=" + list, plain});
  EXPECT_EQ(paths(run.out), (std::vector<std::string>{plain, plain, inTree}));

  run = runMp4meta({"--json", "--files-from", dir.path() + "/no-list", plain});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(jsonLines(run.out).size(), 1u);
  EXPECT_EQ(run.err, "mp4meta: " + dir.path() + "/no-list: No such file or directory\n");
}

struct UsageCase {
  const char* name;
  std::vector<std::string> args;
};

void PrintTo(const UsageCase& row, std::ostream* os) { *os << row.name; }

class UsageError : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageError, ExitsWithStatusTwoAndAShortUsage) {
  const RunResult run = runMp4meta(GetParam().args);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("Usage: mp4meta"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.rfind("mp4meta: ", 0), 0u) << run.err;
}

INSTANTIATE_TEST_SUITE_P(CommandLines, UsageError,
                         ::testing::Values(UsageCase{"NoPaths", {}},
                                           UsageCase{"NoPathsJson", {"--json"}},
                                           UsageCase{"UnknownOption", {"--fast", "x"}},
                                           UsageCase{"UnknownShortOption", {"-x", "x"}},
                                           UsageCase{"ZeroJobs", {"--jobs", "0", "x"}},
                                           UsageCase{"JobsNotANumber", {"-j", "many", "x"}},
                                           UsageCase{"JobsMissing", {"x", "--jobs"}},
                                           UsageCase{"StdinTwice", {"-", "--files-from", "-"}}),
                         [](const ::testing::TestParamInfo<UsageCase>& row) {
                           return row.param.name;
                         });

TEST(Mp4meta, HelpAndVersion) {
  RunResult run = runMp4meta({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("Usage: mp4meta", 0), 0u);
  EXPECT_NE(run.out.find("--files-from"), std::string::npos);
  run = runMp4meta({"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("mp4meta ", 0), 0u);
}

TEST(Mp4meta, DashDashEndsOptions) {
  TempDir dir;
  dir.write("-odd.m4a", hosttest::taggedSong("x", 1));
  RunOptions options;
  options.workingDirectory = dir.path();
  const RunResult run = runMp4meta({"--json", "--", "-odd.m4a"}, options);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Json::parse(run.out)["path"], "-odd.m4a");
}

TEST(Mp4meta, NoModulesIsAClearError) {
  RunOptions options;
  options.pluginPath = "/nonexistent/modules";
  const RunResult run = runMp4meta({"x"}, options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("/nonexistent/modules"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("STRIGI_PLUGIN_PATH"), std::string::npos) << run.err;
}

TEST(Mp4meta, BrokenModuleIsReportedAndTheOthersStillRun) {
  TempDir modules;
  const std::string broken = modules.write("strigita_broken.so", "garbage");
  TempDir dir;
  const std::string song = dir.write("song.m4a", hosttest::taggedSong("x", 1));
  RunOptions options;
  options.pluginPath = modules.path() + ":" + MP4_MODULE_DIR;
  const RunResult run = runMp4meta({"--json", song}, options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("mp4meta: " + broken + ": cannot load module: ", 0), 0u) << run.err;
  EXPECT_TRUE(Json::parse(run.out)["fields"].contains("content.mime_type"));
}

}  // namespace
