// A host-side interface library of another make: the Strigi classes the
// analyzer module calls, with member layouts of its own. The test host links
// it in place of our interface library and reaches it only through these
// functions, so that nothing of our own classes' layout is compiled in.
#ifndef FOREIGN_STRIGI_H
#define FOREIGN_STRIGI_H

#include <string>

namespace Strigi {
class FieldRegister;
class AnalysisResult;
}  // namespace Strigi

namespace foreign {

Strigi::FieldRegister* newRegister();
void deleteRegister(Strigi::FieldRegister*);
Strigi::AnalysisResult* newResult();
// "key: value" lines, one per value, in the order the values came.
std::string takeValues(Strigi::AnalysisResult*);
void deleteResult(Strigi::AnalysisResult*);
// Empty when every call the module made landed here as it should: each
// registration named one of this library's own type-name strings, and every
// factory base constructed was destroyed again.
std::string problems(const Strigi::FieldRegister*);

}  // namespace foreign

#endif
