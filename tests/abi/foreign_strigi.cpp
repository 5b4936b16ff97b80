// A host-side interface library of another make: the Strigi classes the
// analyzer module calls, with member layouts of their own. The test host
// links it in place of ours and reaches it only through namespace foreign.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Strigi {

class RegisteredField {
 public:
  int serial;
  std::string key;
};

class FieldRegister {
 public:
  // Longer than any short-string buffer, so that a second construction or
  // destruction of these by somebody else's library shows under ASan.
  static const std::string binaryType, stringType, integerType, datetimeType;
  const RegisteredField* registerField(const std::string& key, const std::string& type,
                                       int maxOccurs, const RegisteredField* parent);

  std::vector<std::unique_ptr<RegisteredField>> fields;
  std::string problems;
};

const std::string FieldRegister::binaryType = "foreign host type: binary";
const std::string FieldRegister::stringType = "foreign host type: string";
const std::string FieldRegister::integerType = "foreign host type: integer";
const std::string FieldRegister::datetimeType = "foreign host type: datetime";

const RegisteredField* FieldRegister::registerField(const std::string& key, const std::string& type,
                                                    int, const RegisteredField*) {
  if (&type != &binaryType && &type != &stringType && &type != &integerType &&
      &type != &datetimeType)
    problems += key + " registered with a type string not of this host: " + type + "\n";
  fields.push_back(
      std::make_unique<RegisteredField>(RegisteredField{static_cast<int>(fields.size()), key}));
  return fields.back().get();
}

class AnalysisResult {
 public:
  void addValue(const RegisteredField* field, const std::string& value);
  void addValue(const RegisteredField* field, uint32_t value);
  void addValue(const RegisteredField* field, int32_t value);
  std::string values;
};

void AnalysisResult::addValue(const RegisteredField* field, const std::string& value) {
  values += field->key + ": " + value + "\n";
}
void AnalysisResult::addValue(const RegisteredField* field, uint32_t value) {
  addValue(field, std::to_string(value));
}
void AnalysisResult::addValue(const RegisteredField* field, int32_t value) {
  addValue(field, std::to_string(value));
}

static int liveFactories = 0;

class StreamAnalyzerFactory {
 public:
  StreamAnalyzerFactory();
  virtual ~StreamAnalyzerFactory();
  virtual const char* name() const = 0;
  virtual void registerFields(FieldRegister&) = 0;

 private:
  int* const m_live;
};

StreamAnalyzerFactory::StreamAnalyzerFactory() : m_live(&liveFactories) { ++*m_live; }
StreamAnalyzerFactory::~StreamAnalyzerFactory() { --*m_live; }

static uint64_t be(const char* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}
uint16_t readBigEndianUInt16(const char* p) { return static_cast<uint16_t>(be(p, 2)); }
uint32_t readBigEndianUInt32(const char* p) { return static_cast<uint32_t>(be(p, 4)); }
int32_t readBigEndianInt32(const char* p) { return static_cast<int32_t>(be(p, 4)); }
int64_t readBigEndianInt64(const char* p) { return static_cast<int64_t>(be(p, 8)); }

}  // namespace Strigi

namespace foreign {

Strigi::FieldRegister* newRegister() { return new Strigi::FieldRegister; }
std::string deleteRegister(Strigi::FieldRegister* r) {
  const std::unique_ptr<Strigi::FieldRegister> owned(r);
  if (Strigi::liveFactories == 0) return r->problems;
  return r->problems + "factory bases constructed and destroyed do not match\n";
}
Strigi::AnalysisResult* newResult() { return new Strigi::AnalysisResult; }
std::string takeValues(Strigi::AnalysisResult* r) { return std::move(r->values); }
void deleteResult(Strigi::AnalysisResult* r) { delete r; }

}  // namespace foreign
