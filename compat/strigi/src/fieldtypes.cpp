#include <strigi/fieldtypes.h>

namespace Strigi {

const std::string FieldRegister::floatType = "float";
const std::string FieldRegister::integerType = "integer";
const std::string FieldRegister::binaryType = "binary";
const std::string FieldRegister::stringType = "string";
const std::string FieldRegister::datetimeType = "datetime";

RegisteredField::RegisteredField(const std::string& key, const std::string& type, int maxoccurs,
                                 const RegisteredField* parent)
    : m_key(key), m_type(type), m_maxoccurs(maxoccurs), m_parent(parent), m_writerData(nullptr) {}

FieldRegister::FieldRegister() = default;

FieldRegister::~FieldRegister() {
  for (auto& entry : m_fields) delete entry.second;
}

const RegisteredField* FieldRegister::registerField(const std::string& fieldname,
                                                    const std::string& type, int maxoccurs,
                                                    const RegisteredField* parent) {
  auto found = m_fields.find(fieldname);
  const RegisteredField* field;
  if (found != m_fields.end()) {
    field = found->second;
  } else {
    RegisteredField* created = new RegisteredField(fieldname, type, maxoccurs, parent);
    try {
      m_fields.emplace(fieldname, created);
    } catch (...) {
      delete created;
      throw;
    }
    field = created;
  }
  m_registrations.push_back(Registration{fieldname, type, maxoccurs, parent, field});
  return field;
}

const RegisteredField* FieldRegister::registerField(const std::string& fieldname) {
  return registerField(fieldname, stringType, -1, nullptr);
}

}  // namespace Strigi
