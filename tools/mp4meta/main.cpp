// mp4meta: prints the metadata that the installed analyzer modules find in
// MP4, M4A, 3GP and QuickTime files.
#include <mp4host/plugin_loader.h>
#include <strigi/fieldtypes.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "options.h"
#include "path_source.h"
#include "runner.h"

namespace {

unsigned defaultJobs() {
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  if (cpus < 1) return 1;
  return cpus > static_cast<long>(mp4meta::kMaxJobs) ? mp4meta::kMaxJobs
                                                     : static_cast<unsigned>(cpus);
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) {
    if (!text.empty()) text += ", ";
    text += item;
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  mp4meta::Options options;
  std::string error;
  if (!mp4meta::parseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "mp4meta: %s\n%s", error.c_str(), mp4meta::shortUsageText());
    return 2;
  }
  if (options.help) {
    std::fputs(mp4meta::usageText(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("mp4meta %s\n", MP4META_VERSION);
    return 0;
  }

  // The register outlives the modules, and the modules the analyzers that
  // the run makes.
  Strigi::FieldRegister fields;
  mp4host::PluginSet plugins;
  const std::vector<std::string> directories = mp4host::pluginDirectories();
  plugins.loadDirectories(directories);
  for (const mp4host::LoadError& e : plugins.errors()) {
    std::fprintf(stderr, "mp4meta: %s: %s\n", e.path.c_str(), e.message.c_str());
  }
  if (plugins.factories().empty()) {
    std::fprintf(stderr,
                 "mp4meta: no analyzer modules (strigita_*.so) could be loaded; looked in: %s\n"
                 "mp4meta: set STRIGI_PLUGIN_PATH to the directory that holds them\n",
                 joined(directories).c_str());
    return 1;
  }
  plugins.registerFields(fields);

  mp4meta::PathSource source(options.paths, options.lists, options.nulSeparated ? '\0' : '\n');
  mp4meta::RunSettings settings;
  settings.json = options.json;
  settings.jobs = options.jobs != 0 ? options.jobs : defaultJobs();
  settings.plainFileReads = options.plainFileReads;
  const bool ok = mp4meta::runAnalysis(plugins, source, settings);
  return ok && plugins.errors().empty() ? 0 : 1;
}
