// Collects what the analyzers report for one stream, in report order.
#ifndef MP4HOST_VALUE_RECORDER_H
#define MP4HOST_VALUE_RECORDER_H

#include <strigi/analysisresult.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mp4host {

// One reported value. Text is a byte string (it may hold zero bytes and
// need not be valid UTF-8); its bytes live in the recorder's store.
struct RecordedValue {
  enum Kind { Text, Signed, Unsigned, Real, Pair };
  const Strigi::RegisteredField* field;
  Kind kind;
  size_t offset;  // Text and Pair: the value's bytes in the store
  size_t length;
  size_t nameOffset;  // Pair: the name's bytes in the store
  size_t nameLength;
  int64_t integer;  // Signed and Unsigned
  double real;      // Real
};

// A sink for Strigi::AnalysisResult that keeps every value of one result.
// clear() forgets them and keeps the memory, so one recorder serves many
// files.
class ValueRecorder : public Strigi::AnalysisSink {
 public:
  void clear();
  const std::vector<RecordedValue>& values() const { return m_values; }
  // The bytes of a Text or Pair value, and the name of a Pair.
  const char* bytes(const RecordedValue& v) const { return m_store.data() + v.offset; }
  const char* nameBytes(const RecordedValue& v) const { return m_store.data() + v.nameOffset; }

  // Values from elsewhere than an analysis (a stored index, say), so that
  // they can be formatted as an analysis's are.
  void recordText(const Strigi::RegisteredField* field, const char* data, size_t length);
  void recordInteger(const Strigi::RegisteredField* field, int64_t value);
  void recordReal(const Strigi::RegisteredField* field, double value);
  void recordPair(const Strigi::RegisteredField* field, const char* name, size_t nameLength,
                  const char* value, size_t length);

  void addString(const Strigi::AnalysisResult& result, const Strigi::RegisteredField* field,
                 const std::string& value) override;
  void addBytes(const Strigi::AnalysisResult& result, const Strigi::RegisteredField* field,
                const char* data, uint32_t length) override;
  void addUInt32(const Strigi::AnalysisResult& result, const Strigi::RegisteredField* field,
                 uint32_t value) override;
  void addInt32(const Strigi::AnalysisResult& result, const Strigi::RegisteredField* field,
                int32_t value) override;
  void addDouble(const Strigi::AnalysisResult& result, const Strigi::RegisteredField* field,
                 double value) override;
  void addTriplet(const Strigi::AnalysisResult& result, const Strigi::RegisteredField* field,
                  const std::string& name, const std::string& value) override;

 private:
  RecordedValue& add(const Strigi::RegisteredField* field, RecordedValue::Kind kind);

  std::vector<RecordedValue> m_values;
  std::string m_store;
};

}  // namespace mp4host

#endif
