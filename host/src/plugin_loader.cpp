#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <mp4host/plugin_loader.h>
#include <strigi/analyzerplugin.h>
#include <strigi/streamthroughanalyzer.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "stream_util.h"

namespace mp4host {

namespace {

// The entry points' types as Strigi hosts call them.
using CreateFactory = const Strigi::AnalyzerFactoryFactory* (*)();
using DeleteFactory = void (*)(const Strigi::AnalyzerFactoryFactory*);

// Modules declare the entry points either as Strigi's macro does (pointer
// to const) or by hand without the const. The two are the same function to
// the machine, and the host calls both through Strigi's own types; clang's
// check of function types at indirect calls would reject the second kind,
// so it is off for these two calls alone.
#if defined(__clang__)
#define MP4HOST_ANY_ENTRY_POINT_TYPE __attribute__((no_sanitize("function")))
#else
#define MP4HOST_ANY_ENTRY_POINT_TYPE
#endif

MP4HOST_ANY_ENTRY_POINT_TYPE const Strigi::AnalyzerFactoryFactory* callCreate(CreateFactory f) {
  return f();
}

MP4HOST_ANY_ENTRY_POINT_TYPE void callDelete(DeleteFactory f,
                                             const Strigi::AnalyzerFactoryFactory* factory) {
  f(factory);
}

constexpr char kModulePrefix[] = "strigita_";
constexpr char kModuleSuffix[] = ".so";

bool isThroughModuleName(const char* name) {
  const size_t length = std::strlen(name);
  const size_t prefix = sizeof kModulePrefix - 1;
  const size_t suffix = sizeof kModuleSuffix - 1;
  return length > prefix + suffix && std::strncmp(name, kModulePrefix, prefix) == 0 &&
         std::strcmp(name + length - suffix, kModuleSuffix) == 0;
}

std::string loaderMessage() {
  const char* message = dlerror();
  return message ? message : "unknown error";
}

std::string executableDirectory() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  const std::string exe(buffer, static_cast<size_t>(n));
  const std::string::size_type slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

}  // namespace

struct PluginSet::Module {
  std::string path;
  void* handle = nullptr;
  const Strigi::AnalyzerFactoryFactory* factory = nullptr;
  DeleteFactory destroy = nullptr;
  std::vector<Strigi::StreamThroughAnalyzerFactory*> through;

  ~Module() {
    for (Strigi::StreamThroughAnalyzerFactory* f : through) delete f;
    if (factory) callDelete(destroy, factory);
    if (handle) dlclose(handle);
  }
};

std::vector<std::string> splitPluginPath(const std::string& list) {
  std::vector<std::string> directories;
  std::istringstream in(list);
  for (std::string directory; std::getline(in, directory, ':');) {
    if (!directory.empty()) directories.push_back(directory);
  }
  return directories;
}

std::vector<std::string> pluginDirectories() {
  if (const char* env = std::getenv("STRIGI_PLUGIN_PATH")) {
    std::vector<std::string> directories = splitPluginPath(env);
    if (!directories.empty()) return directories;
  }
  std::vector<std::string> directories;
  const std::string relative = MP4HOST_RELATIVE_PLUGIN_DIR;
  if (!relative.empty() && relative[0] != '/') {
    const std::string exeDir = executableDirectory();
    if (!exeDir.empty()) directories.push_back(exeDir + "/../" + relative);
  }
  directories.push_back(MP4HOST_INSTALLED_PLUGIN_DIR);
  directories.push_back(MP4HOST_BUILD_PLUGIN_DIR);
  return directories;
}

PluginSet::PluginSet() = default;

PluginSet::~PluginSet() {
  // Modules go in the reverse order of loading, each after its factories.
  while (!m_modules.empty()) m_modules.pop_back();
}

void PluginSet::loadDirectories(const std::vector<std::string>& directories) {
  for (const std::string& directory : directories) {
    DIR* dir = opendir(directory.c_str());
    if (!dir) {
      if (errno != ENOENT && errno != ENOTDIR) {
        m_errors.push_back(LoadError{directory, errorText(errno)});
      }
      continue;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) {
      if (isThroughModuleName(entry->d_name)) names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      return std::strcmp(a.c_str(), b.c_str()) < 0;
    });
    for (const std::string& name : names) {
      if (std::find(m_loadedNames.begin(), m_loadedNames.end(), name) != m_loadedNames.end()) {
        continue;
      }
      const std::string path = directory + (directory.back() == '/' ? "" : "/") + name;
      if (loadModule(path)) m_loadedNames.push_back(name);
    }
  }
}

bool PluginSet::loadModule(const std::string& path) {
  auto module = std::make_unique<Module>();
  module->path = path;
  dlerror();
  module->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module->handle) {
    m_errors.push_back(LoadError{path, "cannot load module: " + loaderMessage()});
    return false;
  }
  const char* const entryPoints[] = {"strigiAnalyzerFactory", "deleteStrigiAnalyzerFactory"};
  void* symbols[2];
  for (int i = 0; i < 2; ++i) {
    dlerror();
    symbols[i] = dlsym(module->handle, entryPoints[i]);
    if (!symbols[i]) {
      m_errors.push_back(LoadError{path, std::string("not an analyzer module: no entry point ") +
                                             entryPoints[i] + " (" + loaderMessage() + ")"});
      return false;
    }
  }
  // Casting an object pointer from dlsym to a function pointer is what
  // POSIX requires hosts to do.
  const auto create = reinterpret_cast<CreateFactory>(symbols[0]);
  module->destroy = reinterpret_cast<DeleteFactory>(symbols[1]);
  module->factory = callCreate(create);
  if (!module->factory) {
    m_errors.push_back(LoadError{path, "the module gave no analyzer factory"});
    return false;
  }
  const std::list<Strigi::StreamThroughAnalyzerFactory*> through =
      module->factory->streamThroughAnalyzerFactories();
  for (Strigi::StreamThroughAnalyzerFactory* f : through) {
    if (f) module->through.push_back(f);
  }
  m_factories.insert(m_factories.end(), module->through.begin(), module->through.end());
  m_modules.push_back(std::move(module));
  return true;
}

void PluginSet::registerFields(Strigi::FieldRegister& reg) {
  for (Strigi::StreamThroughAnalyzerFactory* f : m_factories) f->registerFields(reg);
}

std::vector<std::unique_ptr<Strigi::StreamThroughAnalyzer>> PluginSet::newAnalyzers() const {
  std::vector<std::unique_ptr<Strigi::StreamThroughAnalyzer>> analyzers;
  for (const Strigi::StreamThroughAnalyzerFactory* f : m_factories) {
    if (Strigi::StreamThroughAnalyzer* a = f->newInstance()) analyzers.emplace_back(a);
  }
  return analyzers;
}

}  // namespace mp4host
