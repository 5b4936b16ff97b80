// The search language parsed into the terms every store renders: each
// form, its units and dates, and each mistake with its message.
#include "query.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

using mp4index::QueryNode;
using mp4index::Term;

std::string bound(int64_t n) {
  if (n == std::numeric_limits<int64_t>::min()) return "min";
  if (n == std::numeric_limits<int64_t>::max()) return "max";
  return std::to_string(n);
}

// One line for a tree: (a b) all, (a | b) any, -a not; a term as
// field:"words"[*], field="text", field[low..high], field["low".."high"),
// has(field), the field a fact's name or the key.
std::string describe(const QueryNode& node) {
  if (node.kind == QueryNode::Not) return "-" + describe(node.children[0]);
  if (node.kind != QueryNode::Match) {
    std::string out = "(";
    for (size_t i = 0; i < node.children.size(); ++i) {
      if (i) out += node.kind == QueryNode::All ? " " : " | ";
      out += describe(node.children[i]);
    }
    return out + ")";
  }
  static const char* const kFacts[] = {"", "path", "name", "ext", "size", "modified"};
  const Term& t = node.term;
  const std::string field = t.fact == Term::Value ? t.key : kFacts[t.fact];
  switch (t.kind) {
    case Term::Words:
    case Term::FieldWords:
      return (t.kind == Term::Words ? "" : field + ":") + '"' + t.text + '"' +
             (t.prefix ? "*" : "");
    case Term::Equals:
      return field + "=\"" + t.text + '"';
    case Term::Range:
      return field + "[" + bound(t.low) + ".." + bound(t.high) + "]";
    case Term::TextRange:
      return field + "[\"" + t.textLow + "\"..\"" + t.textHigh + "\")";
    case Term::Has:
      return "has(" + field + ")";
  }
  return "?";
}

std::string parsed(const std::vector<std::string>& args) {
  QueryNode query;
  std::string error;
  return mp4index::parseQuery(args, &query, &error) ? describe(query) : "error: " + error;
}

// Nanoseconds since the epoch of a local moment.
std::string localNs(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                    int64_t less = 0) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::to_string(static_cast<int64_t>(std::mktime(&tm)) * 1000000000 - less);
}

TEST(Query, FormsParseIntoTheirTerms) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"a", "b", "OR", "c"}, "(\"a\" (\"b\" | \"c\"))"},
      {{"a", "AND", "b"}, "(\"a\" \"b\")"},
      {{"NOT", "(", "a", "OR", "b", ")"}, "-(\"a\" | \"b\")"},
      {{"\"let it be\"", "beat*", "\"let it b\"*"}, "(\"let it be\" \"beat\"* \"let it b\"*)"},
      {{"artist:beat*"}, "audio.artist:\"beat\"*"},
      {{"title:\"a b\""}, "audio.title:\"a b\""},
      {{"genre=\"Jazz\"", "genre=Jazz Funk"},
       "(content.genre=\"Jazz\" content.genre=\"Jazz Funk\")"},
      {{"-cover", "missing:title", "has:x.y"},
       "(-has(content.thumbnail) -has(audio.title) has(x.y))"},
      {{"-beatles", "-artist:x", "-foo.bar"}, "(-\"beatles\" -audio.artist:\"x\" -has(foo.bar))"},
      {{"cover=yes", "cover=no"}, "(has(content.thumbnail) -has(content.thumbnail))"},
      {{"width>=1920", "width>1920", "width<=5", "width<5"},
       "(image.width[1920..max] image.width[1921..max] image.width[min..5] image.width[min..4])"},
      {{"rating=+2", "channels:2"}, "(user.rating[2..2] audio.channel_count[2..2])"},
      {{"media.duration=5", "no.such>-3"}, "(media.duration=\"5\" no.such[-2..max])"},
      // Nothing lies beyond the ends of the numbers.
      {{"rating<-9223372036854775808", "rating>9223372036854775807"},
       "(user.rating[-9223372036854775807..min] user.rating[max..9223372036854775806])"},
      {{"duration>=1h30m", "duration=1h30", "duration<1:30:00"},
       "(TODO_video.duration[5400..max] TODO_video.duration[5400..5400] "
       "TODO_video.duration[min..5399])"},
      {{"duration=90", "duration=90:00", "duration=1:30", "duration>5s", "duration<=2m"},
       "(TODO_video.duration[90..90] TODO_video.duration[5400..5400] "
       "TODO_video.duration[90..90] TODO_video.duration[6..max] TODO_video.duration[min..120])"},
      {{"size>1.5G", "size<=700K", "size=10KiB", "size=2kb", "size=5B", "size:3T"},
       "(size[1610612737..max] size[min..716800] size[10240..10240] size[2048..2048] "
       "size[5..5] size[3298534883328..3298534883328])"},
      {{"year=1969", "date>=1969-12", "date<2000", "date>2000", "date<=2000-02-29"},
       "(content.creation_time[\"1969\"..\"196:\") content.creation_time[\"1969-12\"..\":\") "
       "content.creation_time[\"0\"..\"2000\") content.creation_time[\"2001\"..\":\") "
       "content.creation_time[\"0\"..\"2000-02-2:\"))"},
      {{"purchased=2001-01-31T23:59", "date=2001-01-31 23:59:59", "year:1969"},
       "(TODO_content.purchasedate[\"2001-01-31T23:59\"..\"2001-01-31T23:5:\") "
       "content.creation_time[\"2001-01-31T23:59:59\"..\"2001-01-31T23:59:5:\") "
       "content.creation_time:\"1969\")"},
      {{"track=5", "disc=\"1/2\""},
       "((TODO_trackNumber=\"5\" | TODO_trackNumber[\"5/\"..\"50\")) TODO_discNumber=\"1/2\")"},
      {{"ext=.M4A", "name:beat*", "path:\"my music\""},
       "(ext=\"m4a\" name:\"beat\"* path:\"my music\")"},
      {{"modified=2024-05"},
       "modified[" + localNs(2024, 5, 1) + ".." + localNs(2024, 6, 1, 0, 0, 0, 1) + "]"},
      {{"modified>=2024", "modified<2024-03"},
       "(modified[" + localNs(2024, 1, 1) + "..max] modified[min.." +
           localNs(2024, 3, 1, 0, 0, 0, 1) + "])"},
      {{"modified=2024-05-31T18:30:15"},
       "modified[" + localNs(2024, 5, 31, 18, 30, 15) + ".." + localNs(2024, 5, 31, 18, 30, 16, 1) +
           "]"},
      {{"modified>2024-12-31"}, "modified[" + localNs(2025, 1, 1) + "..max]"},
  };
  for (const auto& [args, expected] : cases) EXPECT_EQ(parsed(args), expected) << args[0];
}

TEST(Query, MistakesSayWhy) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"wdth>1"}, "term 'wdth>1': unknown field 'wdth' (did you mean 'width' or 'path'?)"},
      {{"titleee:x"}, "unknown field 'titleee' (did you mean 'title'?)"},
      {{"t:x"}, "unknown field 't' (did you mean 'ext', 'tool' or 'type'?)"},
      {{"zzzzzzzz:x"}, "unknown field 'zzzzzzzz' (mp4index --help lists the field names)"},
      {{"has:9x"}, "term 'has:9x': '9x' is not a field name"},
      {{"-size"}, "term '-size': 'size' is known for every file"},
      {{"name:\"abc"}, "a quote without its end"},
      {{"track=\"5"}, "a quote without its end"},
      {{"title:\"abc"}, "a quote without its end"},
      {{"title=\"abc"}, "a quote without its end"},
      {{"ext=\"m4a"}, "a quote without its end"},
      {{"path=x"}, "'path' is searched by its words: path:WORDS"},
      {{"ext>m"}, "'ext' is text"},
      {{"duration=1:60", "x"}, "'1:60' is not a duration"},
      {{"duration=1:2:3:4"}, "is not a duration"},
      {{"duration=1m1h"}, "is not a duration"},
      {{"duration=1x"}, "is not a duration"},
      {{"size=1.5X"}, "is not a size"},
      {{"size=KB"}, "is not a size"},
      {{"size=1KBB"}, "is not a size"},
      {{"date=2001-02-29"}, "is not a date"},
      {{"date=1900-02-29"}, "is not a date"},
      {{"date=2001-04-31"}, "is not a date"},
      {{"date=2001-01-32"}, "is not a date"},
      {{"date=2001-13"}, "is not a date"},
      {{"date=2001-00"}, "is not a date"},
      {{"date=2001-01-01T24:00"}, "is not a date"},
      {{"date=2001-01-01T23"}, "is not a date"},
      {{"date=2001-1-01"}, "is not a date"},
      {{"date=2001-01-01T10:00:00:00"}, "is not a date"},
      {{"date=2001-01-01T10:00:60"}, "is not a date"},
      {{"date=2001/01"}, "is not a date"},
      {{"date=2001-01-01X10:00"}, "is not a date"},
      {{"rating>x"}, "'x' is not a whole number"},
      {{"AND", "a"}, "AND without a term before it"},
      {{"a", "AND"}, "AND without a term after it"},
      {{"(", ")"}, "'(' with nothing inside"},
      {{"a", "OR", "OR", "b"}, "OR without a term after it"},
  };
  for (const auto& [args, message] : cases) {
    const std::string result = parsed(args);
    EXPECT_NE(result.find(message), std::string::npos) << result;
    EXPECT_EQ(result.compare(0, 7, "error: "), 0) << result;
  }
  EXPECT_EQ(parsed({}), "error: no search terms given");
  // At most 32 levels of parentheses and NOT.
  std::vector<std::string> nested(31, "(");
  nested.push_back("a");
  nested.insert(nested.end(), 31, ")");
  EXPECT_EQ(parsed(nested), "\"a\"");
  nested.insert(nested.begin(), "NOT");
  EXPECT_NE(parsed(nested).find("nested too deeply"), std::string::npos);
  // The last day of every month and the day after it, leap years or not.
  for (int year : {1900, 2000, 2001, 2004}) {
    for (int month = 1; month <= 12; ++month) {
      for (int day = 28; day <= 32; ++day) {
        std::tm tm{};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = 12;
        std::mktime(&tm);
        char date[32];
        std::snprintf(date, sizeof date, "date=%04d-%02d-%02d", year, month, day);
        EXPECT_EQ(parsed({date}).compare(0, 7, "error: ") != 0, tm.tm_mday == day) << date;
      }
    }
  }
  EXPECT_EQ(parsed({"date=2001-01-31", "date=2000-02-29"}),
            "(content.creation_time[\"2001-01-31\"..\"2001-01-32\") "
            "content.creation_time[\"2000-02-29\"..\"2000-02-2:\"))");
}

// Moments are local time, summer time included (2024-07-01 begins at
// 22:00 UTC the day before in Berlin).
TEST(Query, MomentsAreLocalInSummerTimeToo) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  EXPECT_EQ(parsed({"modified=2024-07-01"}), "modified[1719784800000000000..1719871199999999999]");
  if (old) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
