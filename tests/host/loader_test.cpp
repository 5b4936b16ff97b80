// The module loader (directories, overrides, broken modules, the plug-in
// path) and the pipeline that drives analyzers as an indexer does, also on
// many threads at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <strigi/streamthroughanalyzer.h>
#include <strigi/stringstream.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

#include "test_files.h"

namespace {

using hosttest::TempDir;
using std::filesystem::copy_file;

// A module of the same name in a later directory is not loaded: there a
// broken copy, which would be an error.
TEST(PluginSet, LoadsModulesInNameOrderEarlierDirectoriesFirstForPipelines) {
  TempDir dir, later;
  copy_file(MP4_MODULE_PATH, dir.path() + "/strigita_mp4.so");
  copy_file(FAKE_MODULE_PATH, dir.path() + "/strigita_a_fake.so");
  copy_file(FAKE_MODULE_PATH, dir.path() + "/strigiea_end.so");  // an end analyzer: not loaded
  dir.write("strigita_notes.txt", "not a module");
  dir.write("strigita_.so", "a name without a module name");
  later.write("strigita_mp4.so", "a broken copy");
  mp4host::PluginSet plugins;
  plugins.loadDirectories({dir.path(), dir.path() + "/missing", later.path()});
  EXPECT_TRUE(plugins.errors().empty());
  ASSERT_EQ(plugins.factories().size(), 2u);
  EXPECT_STREQ(plugins.factories()[0]->name(), "FakeThroughAnalyzer");
  EXPECT_STREQ(plugins.factories()[1]->name(), "Mp4ThroughAnalyzer");

  // Neither a library without entry points (the preload of the mp4meta
  // tests) nor one that gives no factory adds a module.
  EXPECT_FALSE(plugins.loadModule(AWKWARD_SYSTEM_PATH));
  EXPECT_FALSE(plugins.loadModule(NOFACTORY_MODULE_PATH));
  ASSERT_EQ(plugins.errors().size(), 2u);
  EXPECT_EQ(plugins.errors()[0].path, AWKWARD_SYSTEM_PATH);
  EXPECT_NE(plugins.errors()[0].message.find("strigiAnalyzerFactory"), std::string::npos);
  EXPECT_EQ(plugins.errors()[1].message, "the module gave no analyzer factory");
  EXPECT_EQ(plugins.moduleCount(), 2u);

  // The pipeline drives the fake module's analyzer, then the MP4 module's,
  // in turn: a stream left away from its start is put back; an analyzer
  // that throws fails the file.
  Strigi::FieldRegister fields;
  plugins.registerFields(fields);
  mp4host::Pipeline pipeline(plugins);
  // With standard input closed, the file is opened as descriptor 0.
  const int savedIn = dup(0);
  close(0);
  const bool ok = pipeline.analyzeFile(dir.write("song.m4a", hosttest::taggedSong("Title", 2)));
  dup2(savedIn, 0);
  close(savedIn);
  ASSERT_TRUE(ok);
  const mp4test::Log log = mp4test::describe(pipeline.values());
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log.front(), "test.first_byte int 0");
  EXPECT_EQ(log.back(), mp4test::mime("audio/mp4"));
  EXPECT_EQ(pipeline.warnings(),
            std::vector<std::string>{"analyzer Fake left the stream at position 1"});

  // A regular file on a descriptor is read from where it stands.
  const int fd = open(dir.write("at4", "junk" + hosttest::taggedSong("x", 1)).c_str(), O_RDONLY);
  ASSERT_EQ(lseek(fd, 4, SEEK_SET), 4);
  EXPECT_TRUE(pipeline.analyzeDescriptor(fd, "-"));
  close(fd);
  EXPECT_EQ(mp4test::describe(pipeline.values()).back(), mp4test::mime("audio/mp4"));
  EXPECT_FALSE(pipeline.analyzeFile(dir.write("bang", "!")));
  EXPECT_EQ(pipeline.error(), "analysis failed: first byte '!'");
  EXPECT_FALSE(pipeline.analyzeFile(dir.path()));
  EXPECT_EQ(pipeline.error(), "Is a directory");
  EXPECT_TRUE(pipeline.values().values().empty());
  // Unloaded, a module gets its factory back through its delete entry point.
  unsetenv("FAKE_FACTORY_DELETED");
  mp4host::PluginSet().loadModule(FAKE_MODULE_PATH);
  EXPECT_STREQ(getenv("FAKE_FACTORY_DELETED"), "1");
}

// Colon-separated, empty entries ignored; with none left, the defaults.
TEST(PluginPath, EnvironmentFirstThenInstallAndBuildDirectories) {
  setenv("STRIGI_PLUGIN_PATH", ":/one::/two:", 1);
  EXPECT_EQ(mp4host::pluginDirectories(), (std::vector<std::string>{"/one", "/two"}));
  setenv("STRIGI_PLUGIN_PATH", "::", 1);
  const std::vector<std::string> defaults = mp4host::pluginDirectories();
  unsetenv("STRIGI_PLUGIN_PATH");
  EXPECT_EQ(mp4host::pluginDirectories(), defaults);
  ASSERT_EQ(defaults.size(), 3u);
  EXPECT_EQ(defaults.back(), MP4_MODULE_DIR);
}

constexpr int kThreads = 8;
constexpr int kRounds = 40;
constexpr int kSources = 3;  // the file stream, memory, a pipe

std::map<std::string, int> countLines(const std::string& text) {
  std::map<std::string, int> counts;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) ++counts[line];
  return counts;
}

mp4test::Log analyze(mp4host::Pipeline& pipeline, const std::string& path,
                     const mp4test::Bytes& contents, int source) {
  Strigi::StringInputStream memory(contents.data(), static_cast<int32_t>(contents.size()), false);
  std::optional<hosttest::FedPipe> pipe;  // read as standard input is
  const bool ok = source == 0   ? pipeline.analyzeFile(path)
                  : source == 1 ? pipeline.analyzeStream(memory, path)
                                : pipeline.analyzeDescriptor(pipe.emplace(contents).fd(), "-");
  mp4test::Log lines = mp4test::describe(pipeline.values());
  if (!ok) lines.push_back("error " + pipeline.error());
  for (const std::string& warning : pipeline.warnings()) lines.push_back("warning " + warning);
  return lines;
}

// Analyzers from the loaded MP4 module on many threads at once, as an
// indexer runs them: each thread has its own pipeline, all share the module
// and its field handles. Files are read through the file stream, from
// memory and through a pipe. Every thread must get exactly what one thread
// alone gets, and the walker's diagnostic lines must come out whole.
TEST(Threads, EveryThreadGetsWhatOneThreadGets) {
  // The samples (two of them give a diagnostic line) and expected.txt, not
  // an MP4 file.
  std::vector<std::string> paths;
  std::vector<mp4test::Bytes> contents;
  for (const auto& entry : std::filesystem::directory_iterator(SAMPLES_DIR)) {
    if (entry.path().extension() == ".md") continue;
    paths.push_back(entry.path());
    contents.push_back(mp4test::readFile(entry.path()));
  }
  const size_t files = paths.size();
  hosttest::LoadedModule module;
  std::vector<mp4test::Log> reference(files);
  testing::internal::CaptureStderr();
  {
    mp4host::Pipeline pipeline(module.plugins);
    for (size_t i = 0; i < files; ++i) reference[i] = analyze(pipeline, paths[i], contents[i], 0);
  }
  const std::map<std::string, int> referenceLines =
      countLines(testing::internal::GetCapturedStderr());
  ASSERT_FALSE(referenceLines.empty()) << "no file gave a diagnostic line";

  // Half the threads go through the files in the same order, so that they
  // analyse the same file at the same time; the others start elsewhere.
  // Each thread reads each file from each source in turn.
  std::atomic<int> ready{0};
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      mp4host::Pipeline pipeline(module.plugins);
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int round = 0; round < kRounds; ++round) {
        const size_t first = t % 2 == 0 ? 0 : static_cast<size_t>(t * 3 + round);
        for (size_t k = 0; k < files; ++k) {
          const size_t i = (first + k) % files;
          const int source = (round + t / 2) % kSources;
          EXPECT_EQ(analyze(pipeline, paths[i], contents[i], source), reference[i])
              << paths[i] << " from source " << source << " on thread " << t;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::map<std::string, int> threadLines = countLines(testing::internal::GetCapturedStderr());
  // Each diagnostic line came out whole, as often as the files give it.
  std::map<std::string, int> expectedLines = referenceLines;
  for (auto& [line, count] : expectedLines) count *= kThreads * kRounds;
  EXPECT_EQ(threadLines, expectedLines);
}

}  // namespace
