// A sink that records every value an analyzer reports, and a harness that
// runs the MP4 analyzer over a stream the way a host does.
#ifndef MP4TEST_RECORDING_H
#define MP4TEST_RECORDING_H

#include <strigi/analysisresult.h>
#include <strigi/fieldtypes.h>
#include <strigi/streambase.h>

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "mp4throughanalyzer.h"

namespace mp4test {

// Which addValue overload carried a value (Blob: pointer and length).
enum class Kind { String, Blob, UInt32, Int32, Double, Triplet };

// One addValue call: the field's key, the overload and the value rendered
// as text (numbers in decimal, a triplet as "name=value", bytes as stored).
struct Report {
  std::string key;
  Kind kind;
  std::string value;
  const Strigi::RegisteredField* field = nullptr;  // the handle used; not compared
  bool operator==(const Report& o) const {
    return key == o.key && kind == o.kind && value == o.value;
  }
};
using Log = std::vector<Report>;

Report str(const std::string& key, const std::string& value);
Report i32(const std::string& key, int32_t value);
Report u32(const std::string& key, uint32_t value);

Report mime(const std::string& type);  // content.mime_type
// The reports of soundMovie().
Log soundMovieLog();
// The log without a last mime type report, if there is one.
Log withoutMimeType(Log log);
Log operator+(Log a, const Log& b);

// gtest prints Reports with this: key, kind and the value with non-printable
// bytes escaped and long values cut short.
void PrintTo(const Report& report, std::ostream* os);
// A log prints one report per line.
void PrintTo(const Log& log, std::ostream* os);

class RecordingSink : public Strigi::AnalysisSink {
 public:
  void addString(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                 const std::string& value) override;
  void addBytes(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                const char* data, uint32_t length) override;
  void addUInt32(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                 uint32_t value) override;
  void addInt32(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                int32_t value) override;
  void addDouble(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                 double value) override;
  void addTriplet(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                  const std::string& name, const std::string& value) override;

  Log log;

 private:
  void record(const Strigi::RegisteredField* field, Kind kind, std::string value);
};

// A field register, a factory that has registered its fields into it, and
// one analyzer of that factory. Registering writes the plug-in's
// module-wide field slots, so the latest harness decides the handles.
class Harness {
 public:
  Harness();
  ~Harness();

  // Runs the stream through connectInputStream and returns what was
  // reported. Fails the current test unless the same stream comes back at
  // position 0.
  Log run(Strigi::InputStream* in);
  // The same over a FreshBufferStream holding bytes.
  Log run(const std::string& bytes);
  // Calls one of the analyzer's operations with a recording result set.
  Log call(const std::function<void(Mp4ThroughAnalyzer&)>& operation);

  Strigi::FieldRegister& fieldRegister() { return reg_; }
  Mp4ThroughAnalyzerFactory& factory() { return factory_; }
  Mp4ThroughAnalyzer& analyzer() { return *analyzer_; }

 private:
  Strigi::FieldRegister reg_;
  Mp4ThroughAnalyzerFactory factory_;
  std::unique_ptr<Mp4ThroughAnalyzer> analyzer_;
};

// Calls parser on a heap copy of exactly payload's bytes (so a read past
// them is caught by AddressSanitizer) and returns its result.
using BoxParser = bool (Mp4ThroughAnalyzer::*)(const char*, int64_t, const std::string&, int);
bool parseExact(Mp4ThroughAnalyzer& analyzer, BoxParser parser, const std::string& payload,
                const std::string& path, int depth = 1);

}  // namespace mp4test

#endif
