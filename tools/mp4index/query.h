// The search language: terms as a person types them (short field names,
// prefixes, phrases, OR, NOT, parentheses, units and dates) parsed into a
// tree of primitive terms that every store renders the same way.
#ifndef MP4INDEX_QUERY_H
#define MP4INDEX_QUERY_H

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace mp4index {

// One primitive term. What it matches, exactly (each store must give the
// same files):
//
//   Words       the words of text, in that order, in one text value of any
//               reported field (a phrase; any case, accents ignored, as the
//               tokenizer "unicode61 remove_diacritics 2" splits and folds
//               them); prefix: the last word may be the start of a word.
//   FieldWords  the same, in one value of field key; or, fact Path or Name,
//               in the file's path or its last component (as display text,
//               see appendDisplayText).
//   Equals      a text value of key whose bytes are text's, or, when text is
//               a whole number (wholeNumber), a number value of key equal to
//               it; fact Extension: the file's extension is text (what
//               follows the last '.' of its name, ASCII letters in lower
//               case; "" for a name without a '.' but at its start; the
//               parser gives text in lower case, see extensionOf); fact
//               Source: the file is of the source named text (on an index
//               of one source, the running one).
//   Range       a number value of key (or, fact Size, the size in bytes;
//               fact Modified, the modification time in nanoseconds since
//               the epoch) in [low, high].
//   TextRange   a text value v of key with textLow <= v and, unless textHigh
//               is empty, v < textHigh, bytes compared.
//   Has         a value of any kind of key.
//
// Text values are the ones reported as valid UTF-8; values that are not
// (cover images) count for Has only. A file whose analysis failed has no
// values, but facts.
struct Term {
  enum Kind { Words, FieldWords, Equals, Range, TextRange, Has };
  enum Fact { Value, Path, Name, Extension, Size, Modified, Source };
  Kind kind = Words;
  Fact fact = Value;
  std::string key;   // the field key, for fact Value
  std::string name;  // the field as the user named it, for messages only
  std::string text;  // Words, FieldWords, Equals
  bool prefix = false;
  int64_t low = std::numeric_limits<int64_t>::min();
  int64_t high = std::numeric_limits<int64_t>::max();
  std::string textLow, textHigh;
};

// A query: a term, or queries that must all (or any) match, or one that
// must not. An All without children matches every file.
struct QueryNode {
  enum Kind { Match, All, Any, Not };
  Kind kind = All;
  Term term;                        // Match
  std::vector<QueryNode> children;  // All and Any; Not has one
};

// Bounds that keep every query cheap to parse, render and run.
constexpr size_t kMaxTerms = 256;
constexpr int kMaxDepth = 32;

// Parses the search arguments: terms, OR, AND, NOT and parentheses, each
// an argument of its own. On an error returns false with *error ready for
// the user ("term 'x>y': 'y' is not a whole number").
bool parseQuery(const std::vector<std::string>& args, QueryNode* query, std::string* error);

// The last component of a path, and its extension as Term defines it.
std::string_view nameOf(std::string_view path);
std::string extensionOf(std::string_view path);

// A decimal integer, with an optional sign, and nothing else.
bool wholeNumber(const std::string& text, int64_t* number);

// A field as search, --sort and --fields name it: a short name or a full
// key, resolved.
struct FieldRef {
  std::string name;  // as the user wrote it
  Term::Fact fact = Term::Value;
  std::string key;  // fact Value
};
bool resolveField(const std::string& name, FieldRef* field, std::string* error);

}  // namespace mp4index

#endif
