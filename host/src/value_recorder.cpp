#include <mp4host/value_recorder.h>

namespace mp4host {

namespace {
// One file with a huge cover picture should not keep its memory for all the
// files after it.
constexpr size_t kKeptStore = 1024 * 1024;
}  // namespace

void ValueRecorder::clear() {
  m_values.clear();
  if (m_store.capacity() > kKeptStore) {
    std::string().swap(m_store);
  } else {
    m_store.clear();
  }
}

RecordedValue& ValueRecorder::add(const Strigi::RegisteredField* field, RecordedValue::Kind kind) {
  m_values.push_back(RecordedValue{field, kind, 0, 0, 0, 0, 0, 0.0});
  return m_values.back();
}

void ValueRecorder::recordText(const Strigi::RegisteredField* field, const char* data,
                               size_t length) {
  const size_t offset = m_store.size();
  m_store.append(data, length);
  RecordedValue& v = add(field, RecordedValue::Text);
  v.offset = offset;
  v.length = length;
}

void ValueRecorder::addString(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                              const std::string& value) {
  recordText(field, value.data(), value.size());
}

void ValueRecorder::addBytes(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                             const char* data, uint32_t length) {
  recordText(field, data, length);
}

void ValueRecorder::addUInt32(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                              uint32_t value) {
  add(field, RecordedValue::Unsigned).integer = value;
}

void ValueRecorder::addInt32(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                             int32_t value) {
  add(field, RecordedValue::Signed).integer = value;
}

void ValueRecorder::addDouble(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                              double value) {
  add(field, RecordedValue::Real).real = value;
}

void ValueRecorder::recordInteger(const Strigi::RegisteredField* field, int64_t value) {
  add(field, RecordedValue::Signed).integer = value;
}

void ValueRecorder::recordReal(const Strigi::RegisteredField* field, double value) {
  add(field, RecordedValue::Real).real = value;
}

void ValueRecorder::recordPair(const Strigi::RegisteredField* field, const char* name,
                               size_t nameLength, const char* value, size_t length) {
  const size_t nameOffset = m_store.size();
  m_store.append(name, nameLength);
  const size_t offset = m_store.size();
  m_store.append(value, length);
  RecordedValue& v = add(field, RecordedValue::Pair);
  v.nameOffset = nameOffset;
  v.nameLength = nameLength;
  v.offset = offset;
  v.length = length;
}

void ValueRecorder::addTriplet(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                               const std::string& name, const std::string& value) {
  recordPair(field, name.data(), name.size(), value.data(), value.size());
}

}  // namespace mp4host
