// The module loader (directories, overrides, broken modules, the plug-in
// path) and the pipeline that drives analyzers as an indexer does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <strigi/streamthroughanalyzer.h>
#include <unistd.h>

#include <filesystem>

#include "test_files.h"

namespace {

using hosttest::TempDir;

std::string install(const TempDir& dir, const char* module, const std::string& name) {
  std::filesystem::copy_file(module, dir.path() + "/" + name);
  return dir.path() + "/" + name;
}

// A module of the same name in a later directory is not loaded: there a
// broken copy, which would be an error.
TEST(PluginSet, LoadsThroughModulesInNameOrderEarlierDirectoriesFirst) {
  TempDir dir, later;
  install(dir, MP4_MODULE_PATH, "strigita_mp4.so");
  install(dir, FAKE_MODULE_PATH, "strigita_a_fake.so");
  install(dir, FAKE_MODULE_PATH, "strigiea_end.so");  // an end analyzer: not loaded
  dir.write("strigita_notes.txt", "not a module");
  dir.write("strigita_.so", "a name without a module name");
  later.write("strigita_mp4.so", "a broken copy");
  mp4host::PluginSet plugins;
  plugins.loadDirectories({dir.path(), dir.path() + "/missing", later.path()});
  EXPECT_TRUE(plugins.errors().empty());
  ASSERT_EQ(plugins.factories().size(), 2u);
  EXPECT_STREQ(plugins.factories()[0]->name(), "FakeThroughAnalyzer");
  EXPECT_STREQ(plugins.factories()[1]->name(), "Mp4ThroughAnalyzer");

  // Neither a library without entry points nor one that gives no factory
  // adds a module.
  EXPECT_FALSE(plugins.loadModule(NOENTRY_MODULE_PATH));
  EXPECT_FALSE(plugins.loadModule(NOFACTORY_MODULE_PATH));
  ASSERT_EQ(plugins.errors().size(), 2u);
  EXPECT_EQ(plugins.errors()[0].path, NOENTRY_MODULE_PATH);
  EXPECT_NE(plugins.errors()[0].message.find("strigiAnalyzerFactory"), std::string::npos);
  EXPECT_EQ(plugins.errors()[1].message, "the module gave no analyzer factory");
  EXPECT_EQ(plugins.moduleCount(), 2u);
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

// The fake module, then the MP4 module, in turn: a stream left away from
// its start is put back; an analyzer that throws fails the file.
TEST(Pipeline, DrivesTheAnalyzersInTurn) {
  TempDir modules, files;
  install(modules, FAKE_MODULE_PATH, "strigita_0fake.so");
  install(modules, MP4_MODULE_PATH, "strigita_mp4.so");
  mp4host::PluginSet plugins;
  plugins.loadDirectories({modules.path()});
  Strigi::FieldRegister fields;
  plugins.registerFields(fields);
  mp4host::Pipeline pipeline(plugins);
  // With standard input closed, the file is opened as descriptor 0.
  const int savedIn = dup(0);
  close(0);
  const bool ok = pipeline.analyzeFile(files.write("song.m4a", hosttest::taggedSong("Title", 2)));
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
  const int fd = open(files.write("at4", "junk" + hosttest::taggedSong("x", 1)).c_str(), O_RDONLY);
  ASSERT_EQ(lseek(fd, 4, SEEK_SET), 4);
  EXPECT_TRUE(pipeline.analyzeDescriptor(fd, "-"));
  close(fd);
  EXPECT_EQ(mp4test::describe(pipeline.values()).back(), mp4test::mime("audio/mp4"));
  EXPECT_FALSE(pipeline.analyzeFile(files.write("bang", "!")));
  EXPECT_EQ(pipeline.error(), "analysis failed: first byte '!'");
  EXPECT_FALSE(pipeline.analyzeFile(files.path()));
  EXPECT_EQ(pipeline.error(), "Is a directory");
  EXPECT_TRUE(pipeline.values().values().empty());
}

}  // namespace
