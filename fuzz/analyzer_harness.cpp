#include "analyzer_harness.h"

#include <mp4throughanalyzer.h>
#include <strigi/analysisresult.h>
#include <strigi/fieldtypes.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace mp4fuzz {
namespace {

// Where fail() writes: a copy of standard error taken before libFuzzer's
// -close_fd_mask=2 sends standard error (and the walker's diagnostics) to
// /dev/null.
int reportFd = STDERR_FILENO;

// The host side, set up once as a host loads the module: the module's entry
// point, its through-analyzer factory, and a register that outlives the
// analyzers. Never torn down.
struct Host {
  Strigi::AnalyzerFactoryFactory* const module = strigiAnalyzerFactory();
  Strigi::FieldRegister fields;
  Strigi::StreamThroughAnalyzerFactory* factory = nullptr;
  std::set<const Strigi::RegisteredField*> registered;
  const Strigi::RegisteredField* mimeType = nullptr;

  Host() {
    const auto factories = module->streamThroughAnalyzerFactories();
    if (factories.size() != 1) fail("the module offers other than one through analyzer");
    factory = factories.front();
    factory->registerFields(fields);
    for (const auto& entry : fields.fields()) registered.insert(entry.second);
    mimeType = fields.fields().at("content.mime_type");
  }
};

Host& host() {
  static Host* const instance = new Host();
  return *instance;
}

struct Value {
  const Strigi::RegisteredField* field;
  std::string text;  // overload tag and value

  bool operator==(const Value& other) const { return field == other.field && text == other.text; }
};

// Copies every value it receives, so that AddressSanitizer checks every
// byte of every string and byte range the analyzer hands over.
class RecordingSink : public Strigi::AnalysisSink {
 public:
  std::vector<Value> values;

  void addString(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                 const std::string& value) override {
    record(field, "s:" + value);
  }
  void addBytes(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                const char* data, uint32_t length) override {
    record(field, "b:" + std::string(data, length));
  }
  void addUInt32(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                 uint32_t value) override {
    record(field, "u:" + std::to_string(value));
  }
  void addInt32(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                int32_t value) override {
    record(field, "i:" + std::to_string(value));
  }
  void addDouble(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                 double value) override {
    record(field, "d:" + std::to_string(value));
  }
  void addTriplet(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                  const std::string& name, const std::string& value) override {
    record(field, "t:" + name + '=' + value);
  }

 private:
  void record(const Strigi::RegisteredField* field, std::string text) {
    if (host().registered.count(field) == 0) fail("value reported to an unregistered field");
    values.push_back(Value{field, std::move(text)});
  }
};

std::vector<Value> analyzeOnce(Strigi::StreamThroughAnalyzer& analyzer,
                               Strigi::InputStream& stream) {
  RecordingSink sink;
  Strigi::AnalysisResult result("fuzz-input", sink);
  analyzer.setIndexable(&result);
  Strigi::InputStream* const returned = analyzer.connectInputStream(&stream);
  analyzer.setIndexable(nullptr);
  if (returned != &stream) fail("connectInputStream returned another stream");
  if (stream.position() != 0) fail("stream returned away from position 0");
  if (!analyzer.isReadyWithStream()) fail("analyzer not ready after its stream");

  const std::vector<Value>& values = sink.values;
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i].field == host().mimeType && i + 1 != values.size()) {
      fail("mime type reported before another value");
    }
  }
  return values;
}

}  // namespace

void analyzeTwice(const StreamMaker& makeStream) {
  const std::unique_ptr<Strigi::StreamThroughAnalyzer> analyzer(host().factory->newInstance());
  const std::unique_ptr<Strigi::InputStream> first = makeStream();
  const std::vector<Value> firstValues = analyzeOnce(*analyzer, *first);
  const std::unique_ptr<Strigi::InputStream> second = makeStream();
  if (analyzeOnce(*analyzer, *second) != firstValues) {
    fail("a reused analyzer reported other values for the same bytes");
  }
  if (analyzer->connectInputStream(nullptr) != nullptr) fail("null stream gave a stream");
}

void fail(const char* what) {
  const std::string line = std::string("fuzz check failed: ") + what + "\n";
  if (write(reportFd, line.data(), line.size()) < 0) {
    // Nothing more to do: the abort below still reports the failure.
  }
  std::abort();
}

}  // namespace mp4fuzz

// libFuzzer calls this before it parses its flags; the replay main calls it
// too.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const int copy = dup(STDERR_FILENO);
  if (copy >= 0) mp4fuzz::reportFd = copy;
  mp4fuzz::host();
  return 0;
}
