// The analyzer module as a host loads it (dlopen, the two entry points,
// factories and their lifetimes), the module loader, and the pipeline that
// drives analyzers as an indexer does.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <mp4host/pipeline.h>
#include <mp4host/plugin_loader.h>
#include <strigi/analysisresult.h>
#include <strigi/analyzerplugin.h>
#include <strigi/fieldtypes.h>
#include <strigi/streamthroughanalyzer.h>
#include <strigi/stringstream.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "test_files.h"

namespace {

using hosttest::TempDir;

using CreateFactory = Strigi::AnalyzerFactoryFactory* (*)();
using DeleteFactory = void (*)(Strigi::AnalyzerFactoryFactory*);

// The built module, opened as a host opens it.
class Module : public ::testing::Test {
 protected:
  void SetUp() override {
    m_handle = dlopen(MP4_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(m_handle, nullptr) << dlerror();
    m_create = reinterpret_cast<CreateFactory>(dlsym(m_handle, "strigiAnalyzerFactory"));
    m_delete = reinterpret_cast<DeleteFactory>(dlsym(m_handle, "deleteStrigiAnalyzerFactory"));
    ASSERT_NE(m_create, nullptr);
    ASSERT_NE(m_delete, nullptr);
  }
  void TearDown() override {
    if (m_handle) dlclose(m_handle);
  }

  // Registers the factory's fields and analyzes a generated song with a new
  // analyzer; returns the last value reported, the mime type.
  std::string analyzeSong(Strigi::StreamThroughAnalyzerFactory* factory) {
    factory->registerFields(m_register);
    std::unique_ptr<Strigi::StreamThroughAnalyzer> analyzer(factory->newInstance());
    const std::string song = hosttest::taggedSong("Title", 3);
    Strigi::StringInputStream stream(song.data(), static_cast<int32_t>(song.size()));
    mp4host::ValueRecorder values;
    Strigi::AnalysisResult result("song.m4a", values);
    analyzer->setIndexable(&result);
    EXPECT_EQ(analyzer->connectInputStream(&stream), &stream);
    analyzer->setIndexable(nullptr);
    EXPECT_EQ(stream.position(), 0);
    if (values.values().empty()) return "";
    const mp4host::RecordedValue& last = values.values().back();
    EXPECT_EQ(last.field->key(), "content.mime_type");
    return std::string(values.bytes(last), last.length);
  }

  void* m_handle = nullptr;
  CreateFactory m_create = nullptr;
  DeleteFactory m_delete = nullptr;
  Strigi::FieldRegister m_register;
};

TEST_F(Module, FactoriesOfFactoriesAreIndependent) {
  Strigi::AnalyzerFactoryFactory* first = m_create();
  Strigi::AnalyzerFactoryFactory* second = m_create();
  ASSERT_NE(first, second);
  m_delete(first);
  auto factories = second->streamThroughAnalyzerFactories();
  ASSERT_EQ(factories.size(), 1u);
  EXPECT_STREQ(factories.front()->name(), "Mp4ThroughAnalyzer");
  EXPECT_EQ(analyzeSong(factories.front()), "audio/mp4");
  delete factories.front();
  EXPECT_TRUE(second->streamEndAnalyzerFactories().empty());
  EXPECT_TRUE(second->streamSaxAnalyzerFactories().empty());
  EXPECT_TRUE(second->streamLineAnalyzerFactories().empty());
  EXPECT_TRUE(second->streamEventAnalyzerFactories().empty());
  m_delete(second);
  m_delete(nullptr);
}

TEST_F(Module, ThroughFactoriesOutliveTheirFactoryOfFactories) {
  Strigi::AnalyzerFactoryFactory* factory = m_create();
  auto first = factory->streamThroughAnalyzerFactories();
  auto second = factory->streamThroughAnalyzerFactories();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(first.front(), second.front());
  m_delete(factory);
  EXPECT_EQ(analyzeSong(first.front()), "audio/mp4");
  delete first.front();
  EXPECT_EQ(analyzeSong(second.front()), "audio/mp4");
  delete second.front();
}

// Copies a built module into dir under name.
std::string install(const TempDir& dir, const char* module, const std::string& name) {
  const std::string to = dir.mkdir("") + name;
  std::filesystem::copy_file(module, to);
  return to;
}

TEST(PluginSet, LoadsEveryThroughModuleOfADirectoryInNameOrder) {
  TempDir dir;
  install(dir, MP4_MODULE_PATH, "strigita_mp4.so");
  install(dir, FAKE_MODULE_PATH, "strigita_a_fake.so");
  install(dir, FAKE_MODULE_PATH, "strigiea_end.so");  // an end analyzer: not loaded
  dir.write("strigita_notes.txt", "not a module");
  mp4host::PluginSet plugins;
  plugins.loadDirectories({dir.path(), dir.path() + "/missing"});
  EXPECT_TRUE(plugins.errors().empty());
  ASSERT_EQ(plugins.factories().size(), 2u);
  EXPECT_STREQ(plugins.factories()[0]->name(), "FakeThroughAnalyzer");
  EXPECT_STREQ(plugins.factories()[1]->name(), "Mp4ThroughAnalyzer");
}

TEST(PluginSet, AnEarlierDirectoryOverridesALaterOne) {
  TempDir first;
  TempDir second;
  install(first, MP4_MODULE_PATH, "strigita_mp4.so");
  second.write("strigita_mp4.so", "a broken copy");
  mp4host::PluginSet plugins;
  plugins.loadDirectories({first.path(), second.path()});
  EXPECT_TRUE(plugins.errors().empty());
  EXPECT_EQ(plugins.moduleCount(), 1u);
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

TEST(PluginSet, FileThatCannotBeLoadedIsReportedWithTheLoadersMessage) {
  TempDir dir;
  const std::string path = dir.write("strigita_broken.so", "not a shared library");
  mp4host::PluginSet plugins;
  plugins.loadDirectories({dir.path()});
  ASSERT_EQ(plugins.errors().size(), 1u);
  EXPECT_EQ(plugins.errors()[0].path, path);
  // dlerror names the file and says what is wrong with it.
  EXPECT_NE(plugins.errors()[0].message.find("cannot load module: " + path), std::string::npos)
      << plugins.errors()[0].message;
}

TEST(PluginPath, ColonSeparatedWithEmptyEntriesIgnored) {
  EXPECT_EQ(mp4host::splitPluginPath("a::/b/c:"), (std::vector<std::string>{"a", "/b/c"}));
  EXPECT_TRUE(mp4host::splitPluginPath("::").empty());
}

TEST(PluginPath, EnvironmentFirstThenInstallAndBuildDirectories) {
  setenv("STRIGI_PLUGIN_PATH", "/one:/two", 1);
  EXPECT_EQ(mp4host::pluginDirectories(), (std::vector<std::string>{"/one", "/two"}));
  setenv("STRIGI_PLUGIN_PATH", ":", 1);
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

TEST_F(Driving, EmptyFileReportsNothing) {
  ASSERT_TRUE(m_pipeline->analyzeFile(m_files.write("empty.mp4", "")));
  EXPECT_TRUE(m_pipeline->values().values().empty());
}

}  // namespace
