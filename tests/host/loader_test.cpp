// The module loader (directories, overrides, broken modules, the plug-in
// path) and the pipeline that drives analyzers as an indexer does. The
// entry points themselves are tested on the analyzer library.
#include <gtest/gtest.h>
#include <strigi/streamthroughanalyzer.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "test_files.h"

namespace {

using hosttest::TempDir;

// Copies a built module into dir under name.
std::string install(const TempDir& dir, const char* module, const std::string& name) {
  const std::string to = dir.mkdir("") + name;
  std::filesystem::copy_file(module, to);
  return to;
}

// A module of the same name in a later directory is not loaded: there a
// broken copy, which would be an error.
TEST(PluginSet, LoadsEveryThroughModuleOfADirectoryInNameOrderEarlierDirectoriesFirst) {
  TempDir dir;
  TempDir later;
  install(dir, MP4_MODULE_PATH, "strigita_mp4.so");
  install(dir, FAKE_MODULE_PATH, "strigita_a_fake.so");
  install(dir, FAKE_MODULE_PATH, "strigiea_end.so");  // an end analyzer: not loaded
  dir.write("strigita_notes.txt", "not a module");
  later.write("strigita_mp4.so", "a broken copy");
  mp4host::PluginSet plugins;
  plugins.loadDirectories({dir.path(), dir.path() + "/missing", later.path()});
  EXPECT_TRUE(plugins.errors().empty());
  EXPECT_EQ(plugins.moduleCount(), 2u);
  ASSERT_EQ(plugins.factories().size(), 2u);
  EXPECT_STREQ(plugins.factories()[0]->name(), "FakeThroughAnalyzer");
  EXPECT_STREQ(plugins.factories()[1]->name(), "Mp4ThroughAnalyzer");
}

TEST(PluginSet, ModuleWithoutEntryPointsIsReportedByPath) {
  TempDir dir;
  const std::string path = install(dir, NOENTRY_MODULE_PATH, "strigita_noentry.so");
  mp4host::PluginSet plugins;
  EXPECT_FALSE(plugins.loadModule(path));
  ASSERT_EQ(plugins.errors().size(), 1u);
  EXPECT_EQ(plugins.errors()[0].path, path);
  EXPECT_NE(plugins.errors()[0].message.find("strigiAnalyzerFactory"), std::string::npos)
      << plugins.errors()[0].message;
  EXPECT_EQ(plugins.moduleCount(), 0u);
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

// A pipeline over the fake module and the MP4 module, in that order.
class Driving : public ::testing::Test {
 protected:
  void SetUp() override {
    install(m_modules, FAKE_MODULE_PATH, "strigita_0fake.so");
    install(m_modules, MP4_MODULE_PATH, "strigita_mp4.so");
    m_plugins.loadDirectories({m_modules.path()});
    ASSERT_EQ(m_plugins.factories().size(), 2u);
    m_plugins.registerFields(m_register);
    m_pipeline = std::make_unique<mp4host::Pipeline>(m_plugins);
  }
  void TearDown() override { m_pipeline.reset(); }

  std::vector<std::string> keys() const {
    std::vector<std::string> out;
    for (const auto& v : m_pipeline->values().values()) out.push_back(v.field->key());
    return out;
  }

  TempDir m_modules;
  TempDir m_files;
  Strigi::FieldRegister m_register;
  mp4host::PluginSet m_plugins;
  std::unique_ptr<mp4host::Pipeline> m_pipeline;
};

TEST_F(Driving, AnalyzersRunInTurnAndAStreamLeftAwayFromItsStartIsPutBack) {
  const std::string path = m_files.write("song.m4a", hosttest::taggedSong("Title", 2));
  ASSERT_TRUE(m_pipeline->analyzeFile(path));
  const std::vector<std::string> reported = keys();
  ASSERT_GE(reported.size(), 3u);
  EXPECT_EQ(reported.front(), "test.first_byte");
  EXPECT_EQ(reported.back(), "content.mime_type");
  ASSERT_EQ(m_pipeline->warnings().size(), 1u);
  EXPECT_EQ(m_pipeline->warnings()[0], "analyzer Fake left the stream at position 1");
}

TEST_F(Driving, FileThatCannotBeOpenedIsAnError) {
  EXPECT_FALSE(m_pipeline->analyzeFile(m_files.path() + "/missing.m4a"));
  EXPECT_EQ(m_pipeline->error(), "No such file or directory");
  EXPECT_FALSE(m_pipeline->analyzeFile(m_files.path()));
  EXPECT_EQ(m_pipeline->error(), "Is a directory");
  EXPECT_TRUE(m_pipeline->values().values().empty());
}

}  // namespace
