// A host built on another interface library (foreign_strigi): loads the
// analyzer module given on the command line and prints what it reports for
// each file as mp4meta's text output does. Exits 1 when the module cannot be
// loaded or its calls did not land in the host's library.
#include <dlfcn.h>
#include <strigi/analyzerplugin.h>
#include <strigi/streamthroughanalyzer.h>
#include <strigi/stringstream.h>

#include <cstdio>
#include <string>

#include "boxes.h"

// The other interface library (foreign_strigi.cpp), whose classes have
// member layouts of their own, reached only through these calls.
namespace foreign {
Strigi::FieldRegister* newRegister();
// Deletes it; the result is empty when each registration named one of that
// library's own type-name strings and every factory base constructed was destroyed again.
std::string deleteRegister(Strigi::FieldRegister*);
Strigi::AnalysisResult* newResult();
std::string takeValues(Strigi::AnalysisResult*);  // "key: value" lines, in order
void deleteResult(Strigi::AnalysisResult*);
}  // namespace foreign

// A real host calls the entry points through Strigi's pointer-to-const
// types, as here; the module defines them in the non-const form, which
// clang's check of indirect call types would reject.
#if defined(__clang__)
__attribute__((no_sanitize("function")))
#endif
int main(int argc, char** argv) {
  if (argc < 2) return 2;
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  using Create = const Strigi::AnalyzerFactoryFactory* (*)();
  using Delete = void (*)(const Strigi::AnalyzerFactoryFactory*);
  auto create = reinterpret_cast<Create>(dlsym(module, "strigiAnalyzerFactory"));
  auto destroy = reinterpret_cast<Delete>(dlsym(module, "deleteStrigiAnalyzerFactory"));
  if (!create || !destroy) return 1;

  const Strigi::AnalyzerFactoryFactory* factories = create();
  Strigi::FieldRegister* reg = foreign::newRegister();
  Strigi::AnalysisResult* result = foreign::newResult();
  for (Strigi::StreamThroughAnalyzerFactory* factory :
       factories->streamThroughAnalyzerFactories()) {
    factory->registerFields(*reg);
    Strigi::StreamThroughAnalyzer* analyzer = factory->newInstance();
    for (int i = 2; i < argc; ++i) {
      const std::string bytes = mp4test::readFile(argv[i]);
      Strigi::StringStream<char> stream(bytes.data(), static_cast<int32_t>(bytes.size()), false);
      analyzer->setIndexable(result);
      analyzer->connectInputStream(&stream);
      analyzer->setIndexable(nullptr);
      std::printf("%s%s\n%s", i > 2 ? "\n" : "", argv[i], foreign::takeValues(result).c_str());
    }
    delete analyzer;
    delete factory;
  }
  destroy(factories);
  foreign::deleteResult(result);
  const std::string problems = foreign::deleteRegister(reg);
  dlclose(module);
  std::fputs(problems.c_str(), stderr);
  return problems.empty() ? 0 : 1;
}
