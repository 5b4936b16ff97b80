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
  if (!mp4meta::loadAnalyzers("mp4meta", plugins, fields)) return 1;

  mp4meta::PathSource source(options.paths, options.lists, options.nulSeparated ? '\0' : '\n');
  mp4meta::RunSettings settings;
  settings.json = options.json;
  settings.jobs = options.jobs != 0 ? options.jobs : mp4meta::defaultJobs();
  settings.plainFileReads = options.plainFileReads;
  settings.archives = options.archives;
  const bool ok = mp4meta::runAnalysis(plugins, source, settings);
  return ok && plugins.errors().empty() ? 0 : 1;
}
