// A through-analyzer module for the loader tests. Its analyzer reports the
// first byte of each stream as "test.first_byte" and, unlike a well-behaved
// through analyzer, leaves the stream one byte in; a stream starting with
// '!' makes it throw. Built again with entry points that give no factory.
#include <strigi/analysisresult.h>
#include <strigi/analyzerplugin.h>
#include <strigi/fieldtypes.h>
#include <strigi/streambase.h>
#include <strigi/streamthroughanalyzer.h>

#include <cstdlib>
#include <stdexcept>

namespace {

const Strigi::RegisteredField* firstByteField = nullptr;

class FakeAnalyzer : public Strigi::StreamThroughAnalyzer {
 public:
  void setIndexable(Strigi::AnalysisResult* result) override { m_result = result; }
  Strigi::InputStream* connectInputStream(Strigi::InputStream* in) override {
    const char* start = nullptr;
    if (in && in->read(start, 1, 1) == 1) {
      if (*start == '!') throw std::runtime_error("first byte '!'");
      m_result->addValue(firstByteField, static_cast<int32_t>(static_cast<unsigned char>(*start)));
    }
    return in;
  }
  bool isReadyWithStream() override { return true; }
  const char* name() const override { return "Fake"; }

 private:
  Strigi::AnalysisResult* m_result = nullptr;
};

class FakeAnalyzerFactory : public Strigi::StreamThroughAnalyzerFactory {
 public:
  const char* name() const override { return "FakeThroughAnalyzer"; }
  void registerFields(Strigi::FieldRegister& reg) override {
    firstByteField =
        reg.registerField("test.first_byte", Strigi::FieldRegister::integerType, 1, nullptr);
  }
  Strigi::StreamThroughAnalyzer* newInstance() const override { return new FakeAnalyzer; }
};

class FakeFactory : public Strigi::AnalyzerFactoryFactory {
 public:
  // Leaves a trace that outlives the module: the host gave it back.
  ~FakeFactory() override { setenv("FAKE_FACTORY_DELETED", "1", 1); }
  std::list<Strigi::StreamThroughAnalyzerFactory*> streamThroughAnalyzerFactories() const override {
    return {new FakeAnalyzerFactory};
  }
};

}  // namespace

#if defined(FAKE_MODULE_WITHOUT_FACTORY)
#define EXPORTED extern "C" __attribute__((visibility("default")))
EXPORTED const Strigi::AnalyzerFactoryFactory* strigiAnalyzerFactory() { return nullptr; }
EXPORTED void deleteStrigiAnalyzerFactory(const Strigi::AnalyzerFactoryFactory*) {}
#else
STRIGI_ANALYZER_FACTORY(FakeFactory)
#endif
