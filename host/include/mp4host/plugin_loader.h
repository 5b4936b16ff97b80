// Finds and loads analyzer modules, the way a Strigi indexer does.
#ifndef MP4HOST_PLUGIN_LOADER_H
#define MP4HOST_PLUGIN_LOADER_H

#include <memory>
#include <string>
#include <vector>

namespace Strigi {
class AnalyzerFactoryFactory;
class FieldRegister;
class StreamThroughAnalyzer;
class StreamThroughAnalyzerFactory;
}  // namespace Strigi

namespace mp4host {

// The directories of a colon-separated list, empty entries left out.
std::vector<std::string> splitPluginPath(const std::string& list);

// Where modules are looked for: the directories of STRIGI_PLUGIN_PATH when
// it names any; otherwise the module directory of this installation
// (relative to the running executable), the configured install directory
// and the build tree's module directory.
std::vector<std::string> pluginDirectories();

struct LoadError {
  std::string path;     // the module, or the directory that could not be read
  std::string message;  // what went wrong, with the dynamic loader's words
};

// The loaded modules and the through-analyzer factories they gave. Each
// module is opened once; its factory-of-factories is asked once for its
// through-analyzer factories. The destructor deletes those factories, hands
// the factory-of-factories back to the module and closes the module, so
// every analyzer made by newAnalyzers() must be destroyed before this set.
class PluginSet {
 public:
  PluginSet();
  ~PluginSet();
  PluginSet(const PluginSet&) = delete;
  PluginSet& operator=(const PluginSet&) = delete;

  // Loads every through-analyzer module ("strigita_*.so") of each directory
  // in turn, in byte-wise order of their names. A module whose file name
  // was already loaded from an earlier directory is passed over, so an
  // earlier directory overrides a later one. Directories that do not exist
  // are passed over silently.
  void loadDirectories(const std::vector<std::string>& directories);
  // Loads one module; on failure records a LoadError and returns false.
  bool loadModule(const std::string& path);

  const std::vector<LoadError>& errors() const { return m_errors; }
  size_t moduleCount() const { return m_modules.size(); }
  const std::vector<Strigi::StreamThroughAnalyzerFactory*>& factories() const {
    return m_factories;
  }

  // Lets every factory declare its fields in reg. Call once, before any
  // analyzer is made; reg must outlive the analyzers.
  void registerFields(Strigi::FieldRegister& reg);
  // One new analyzer from each factory, in factory order.
  std::vector<std::unique_ptr<Strigi::StreamThroughAnalyzer>> newAnalyzers() const;

 private:
  struct Module;
  std::vector<std::unique_ptr<Module>> m_modules;
  std::vector<Strigi::StreamThroughAnalyzerFactory*> m_factories;
  std::vector<std::string> m_loadedNames;
  std::vector<LoadError> m_errors;
};

}  // namespace mp4host

#endif
