// Fields: the keys under which analyzers report values, and their register.
#ifndef STRIGI_FIELDTYPES_H
#define STRIGI_FIELDTYPES_H

#include <strigi/strigiconfig.h>

#include <map>
#include <string>
#include <vector>

namespace Strigi {

class FieldRegister;

// A declared field. Only a FieldRegister creates fields, and it owns them.
// (The real class also carries the field's properties from the ontology;
// this interface leaves them out: no analyzer here uses them.)
class STREAMANALYZER_EXPORT RegisteredField {
  friend class FieldRegister;

 public:
  const std::string& key() const { return m_key; }
  const std::string& type() const { return m_type; }
  const RegisteredField* parent() const { return m_parent; }
  void* writerData() const { return m_writerData; }
  void setWriterData(void* d) { m_writerData = d; }

 private:
  RegisteredField(const std::string& key, const std::string& type, int maxoccurs,
                  const RegisteredField* parent);
  RegisteredField(const RegisteredField&) = delete;
  RegisteredField& operator=(const RegisteredField&) = delete;

  const std::string m_key;
  const std::string m_type;
  // Stored as the host keeps it; the interface has no accessor for it.
  [[maybe_unused]] const int m_maxoccurs;
  const RegisteredField* const m_parent;
  void* m_writerData;
};

class STREAMANALYZER_EXPORT FieldRegister {
 public:
  // One registerField call as the register received it. Keeping the calls
  // in order is an addition of this interface, for hosts and tests that
  // show or check what a plug-in declared.
  struct Registration {
    std::string key;
    std::string type;
    int maxOccurs;
    const RegisteredField* parent;
    const RegisteredField* field;
  };

  FieldRegister();
  ~FieldRegister();
  FieldRegister(const FieldRegister&) = delete;
  FieldRegister& operator=(const FieldRegister&) = delete;

  // Returns the field for fieldname, creating it on first use. A key that
  // is already registered gives the handle made the first time; nothing is
  // replaced. Handles stay valid until the register is destroyed.
  const RegisteredField* registerField(const std::string& fieldname, const std::string& type,
                                       int maxoccurs, const RegisteredField* parent);
  const RegisteredField* registerField(const std::string& fieldname);
  const std::map<std::string, RegisteredField*>& fields() const { return m_fields; }
  const std::vector<Registration>& registrations() const { return m_registrations; }

  static const std::string floatType;
  static const std::string integerType;
  static const std::string binaryType;
  static const std::string stringType;
  static const std::string datetimeType;

 private:
  std::map<std::string, RegisteredField*> m_fields;
  std::vector<Registration> m_registrations;
};

}  // namespace Strigi

#endif
