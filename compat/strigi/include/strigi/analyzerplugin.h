// What a plug-in module offers: a factory of analyzer factories, created and
// destroyed through the entry points strigiAnalyzerFactory and
// deleteStrigiAnalyzerFactory.
#ifndef STRIGI_ANALYZERPLUGIN_H
#define STRIGI_ANALYZERPLUGIN_H

#include <strigi/strigiconfig.h>

#include <list>

namespace Strigi {

class StreamEndAnalyzerFactory;
class StreamThroughAnalyzerFactory;
class StreamSaxAnalyzerFactory;
class StreamLineAnalyzerFactory;
class StreamEventAnalyzerFactory;

class AnalyzerFactoryFactory {
 public:
  virtual ~AnalyzerFactoryFactory() {}
  virtual std::list<StreamEndAnalyzerFactory*> streamEndAnalyzerFactories() const {
    return std::list<StreamEndAnalyzerFactory*>();
  }
  virtual std::list<StreamThroughAnalyzerFactory*> streamThroughAnalyzerFactories() const {
    return std::list<StreamThroughAnalyzerFactory*>();
  }
  virtual std::list<StreamSaxAnalyzerFactory*> streamSaxAnalyzerFactories() const {
    return std::list<StreamSaxAnalyzerFactory*>();
  }
  virtual std::list<StreamLineAnalyzerFactory*> streamLineAnalyzerFactories() const {
    return std::list<StreamLineAnalyzerFactory*>();
  }
  virtual std::list<StreamEventAnalyzerFactory*> streamEventAnalyzerFactories() const {
    return std::list<StreamEventAnalyzerFactory*>();
  }
};

}  // namespace Strigi

// Defines the two entry points of a module whose factory-of-factories is
// CLASS, with C linkage and default visibility.
#define STRIGI_ANALYZER_FACTORY(CLASS)                                         \
  extern "C" {                                                                 \
  __attribute__((visibility("default"))) const Strigi::AnalyzerFactoryFactory* \
  strigiAnalyzerFactory() {                                                    \
    return new CLASS();                                                        \
  }                                                                            \
  __attribute__((visibility("default"))) void deleteStrigiAnalyzerFactory(     \
      const Strigi::AnalyzerFactoryFactory* f) {                               \
    delete f;                                                                  \
  }                                                                            \
  }

#endif
