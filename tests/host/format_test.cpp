// Rendering of reports: UTF-8 validation, base64 (the vector encoders
// against the plain one), JSON and text lines.
#include <gtest/gtest.h>
#include <mp4host/report_format.h>
#include <strigi/analysisresult.h>
#include <strigi/fieldtypes.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

namespace {

using mp4host::ReportFormatter;
using mp4host::ValueRecorder;

// The vector encoders against the plain code, which serves any input shorter
// than a vector, so groups of three handed over one at a time: random bytes
// of every length up to a few vectors, every index value in every position
// of a vector, and every tail.
TEST(Base64, VectorEncodersMatchThePlainOne) {
  std::mt19937 random(7);
  for (size_t length = 0; length <= 300; ++length) {
    std::string in(length, '\0');
    for (char& c : in) c = static_cast<char>(random());
    std::string whole = "prefix", grouped = "prefix";
    mp4host::appendBase64(whole, in.data(), in.size());
    for (size_t i = 0; i < length; i += 3)
      mp4host::appendBase64(grouped, in.data() + i, std::min<size_t>(3, length - i));
    ASSERT_EQ(whole, grouped) << "length " << length;
  }
  // The alphabet's last two characters, and the padding.
  std::string out;
  mp4host::appendBase64(out, "\xFB\xEF\xFF\xFB", 4);
  EXPECT_EQ(out, "++//+w==");
}

TEST(Utf8, IsValidOnlyForWellFormedText) {
  const struct {
    const char* name;
    std::string bytes;
    bool valid;
  } cases[] = {
      {"Empty", "", true},
      {"Ascii", "plain text", true},
      {"ZeroByte", std::string("a\0b", 3), true},
      {"TwoByte", "Zo\xC3\xAB", true},
      {"ThreeByte", "\xE2\x82\xAC", true},
      {"ThreeByteThenContinuation", "\xE2\x82\xAC\x80", false},
      {"FourByte", "\xF0\x9D\x84\x9E", true},
      {"Highest", "\xF4\x8F\xBF\xBF", true},
      {"BelowSurrogates", "\xED\x9F\xBF", true},
      {"LowestThreeByte", "\xE0\xA0\x80", true},
      {"FourByteBadThird", "\xF0\x90\x41\x80", false},
      {"FourByteBadFourth", "\xF0\x90\x80\x41", false},
      {"AfterLongAsciiRun", "abcdefghij\xC3\xA9", true},
      {"OverlongC1", "\xC1\xBF", false},
      {"OverlongThreeByte", "\xE0\x80\xAF", false},
      {"OverlongFourByte", "\xF0\x80\x80\xAF", false},
      {"Surrogate", "\xED\xA0\x80", false},
      {"AboveMaximum", "\xF4\x90\x80\x80", false},
      {"LeadF5", "\xF5\x80\x80\x80", false},
      {"LoneContinuation", "\x80", false},
      {"Truncated", "\xE2\x82", false},
      {"TruncatedAtEndOfLongRun", "abcdefgh\xF0\x9D\x84", false},
      {"BadContinuation", "\xC3\x28", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(mp4host::isValidUtf8(c.bytes.data(), c.bytes.size()), c.valid) << c.name;
}

// Values reported through a real result, rendered as JSON and as text.
TEST(Report, JsonAndTextLines) {
  Strigi::FieldRegister reg;
  ValueRecorder values;
  Strigi::AnalysisResult result("path", values);
  ReportFormatter formatter;
  const auto render = [&](const std::string& path, bool json) {
    std::string out;
    json ? formatter.appendJson(out, path, values) : formatter.appendText(out, path, values);
    values.clear();
    return out;
  };
  // JSON groups values by key in order of first report.
  result.addValue(reg.registerField("b.first"), std::string("one"));
  result.addValue(reg.registerField("a.second"), int32_t{-5});
  result.addValue(reg.registerField("b.first"), uint32_t{4000000000u});
  // A module may report pairs (none of ours does) and reals.
  auto* pair = const_cast<Strigi::RegisteredField*>(reg.registerField("p"));
  result.addValue(pair, std::string("n"), std::string("v"));
  result.addValue(reg.registerField("r"), 0.5);
  result.addValue(reg.registerField("r"), 1.0 / 0.0);
  EXPECT_EQ(render("song.m4a", true),
            "{\"path\": \"song.m4a\", \"fields\": {\"b.first\": [\"one\", 4000000000], "
            "\"a.second\": [-5], \"p\": [{\"name\": \"n\", \"value\": \"v\"}], "
            "\"r\": [0.5, null]}}\n");
  // Text is escaped, bytes that are not UTF-8 are base64, so is such a path.
  const Strigi::RegisteredField* k = reg.registerField("k");
  result.addValue(k, std::string("q\"b\\n\nt\tc\x01\r\b\f \xC3\xA9\x7F/"));
  result.addValue(k, std::string("\xFF\xD8\xFF", 3));
  result.addValue(k, std::string("a\0b", 3));
  EXPECT_EQ(render("a\xFF", true),
            "{\"path\": {\"base64\": \"Yf8=\"}, \"fields\": {\"k\": "
            "[\"q\\\"b\\\\n\\nt\\tc\\u0001\\r\\b\\f "
            "\xC3\xA9\x7F/\", {\"base64\": \"/9j/\"}, \"a\\u0000b\"]}}\n");
  std::string error;
  formatter.appendJsonError(error, "dir/\"x\"", "No such file or directory");
  EXPECT_EQ(error, "{\"path\": \"dir/\\\"x\\\"\", \"error\": \"No such file or directory\"}\n");
  // Text: the path, then one line per report in order; binary values by
  // size and image type (a bitmap has a header of 26 bytes).
  const Strigi::RegisteredField* title = reg.registerField("audio.title");
  const Strigi::RegisteredField* cover = reg.registerField("content.thumbnail");
  result.addValue(title, std::string("Two\r\nlines\t\\"));
  result.addValue(reg.registerField("image.width"), int32_t{320});
  result.addValue(title, std::string("Zo\xC3\xAB\x1B"));
  result.addValue(pair, std::string("n\n"), std::string("v"));
  for (const std::string& image :
       {std::string("\xFF\xD8\xFF\xE0\x00\x10", 6), std::string("\x89PNG\r\n\x1A\n\xF0", 9),
        std::string("GIF89a\xFF", 7), "BM" + std::string(24, '\xEE'), std::string(26, '\xFE'),
        std::string("BM\xFE"), std::string("\xFE")}) {
    result.addValue(cover, image);
  }
  EXPECT_EQ(render("dir/new\nline.m4a", false),
            "dir/new\\nline.m4a\n"
            "audio.title: Two\\r\\nlines\\t\\\\\n"
            "image.width: 320\n"
            "audio.title: Zo\xC3\xAB\\x1b\n"
            "p: n\\n = v\n"
            "content.thumbnail: <6 bytes, JPEG image>\n"
            "content.thumbnail: <9 bytes, PNG image>\n"
            "content.thumbnail: <7 bytes, GIF image>\n"
            "content.thumbnail: <26 bytes, BMP image>\n"
            "content.thumbnail: <26 bytes>\n"
            "content.thumbnail: <3 bytes>\n"
            "content.thumbnail: <1 byte>\n");
}

}  // namespace
