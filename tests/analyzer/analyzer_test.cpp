// The analyzer over synthetic files: fields and entry points, the intake
// of top-level boxes, the walk of containers and what each box reports.
#include <gtest/gtest.h>

#include <optional>

#include "test_files.h"

namespace mp4test {
namespace {

TEST(Registry, FieldsInTableOrderFromFactoriesThatOutliveThePlugin) {
  const std::string expected =
      "content.mime_type string, content.genre string, audio.title string, "
      "TODO_trackNumber string, TODO_discNumber string, content.author string, "
      "content.comment string, audio.artist string, audio.album string, "
      "TODO_audio.albumartist string, media.codec string, content.links string, "
      "TODO_content.purchaser string, TODO_content.purchasedate datetime, "
      "content.keyword string, content.description string, content.generator string, "
      "audio.duration integer, media.duration integer, TODO_video.duration integer, "
      "av.audio_codec string, av.video_codec string, content.copyright string, "
      "content.thumbnail binary, content.creation_time datetime, content.maintainer string, "
      "content.ID string, user.rating integer, image.width integer, image.height integer, "
      "audio.channel_count integer, media.sample_rate integer, media.sample_format integer";
  Harness harness;
  std::string declared;
  for (const Strigi::FieldRegister::Registration& r : harness.reg.registrations()) {
    declared += (declared.empty() ? "" : ", ") + r.key + " " + r.type;
    EXPECT_TRUE(r.maxOccurs == 1 && r.parent == nullptr) << r.key;
  }
  EXPECT_EQ(declared, expected);
  // Each call of the entry points makes new factories, which outlive the
  // plug-in; the latest to register decides the handles.
  auto* plugin = strigiAnalyzerFactory();
  auto* other = strigiAnalyzerFactory();
  EXPECT_NE(plugin, other);
  deleteStrigiAnalyzerFactory(other);
  const auto first = plugin->streamThroughAnalyzerFactories();
  const auto second = plugin->streamThroughAnalyzerFactories();
  ASSERT_TRUE(first.size() == 1 && second.size() == 1);
  EXPECT_NE(first.front(), second.front());
  deleteStrigiAnalyzerFactory(plugin);
  Strigi::FieldRegister latest;
  first.front()->registerFields(latest);
  EXPECT_EQ(harness.run(box("moov", "")), Log{mime("video/quicktime")});
  EXPECT_EQ(harness.values.values()[0].field, latest.fields().at("content.mime_type"));
  for (Strigi::StreamThroughAnalyzerFactory* factory : {first.front(), second.front()}) {
    EXPECT_STREQ(factory->name(), "Mp4ThroughAnalyzer");
    EXPECT_TRUE(std::unique_ptr<Strigi::StreamThroughAnalyzer>(factory->newInstance())
                    ->isReadyWithStream());
    delete factory;
  }
  deleteStrigiAnalyzerFactory(nullptr);
}

std::string str(const std::string& key, const std::string& value) { return key + " text " + value; }
std::string i32(const std::string& key, int64_t value) {
  return key + " int " + std::to_string(value);
}
std::string u32(const std::string& key, int64_t value) {
  return key + " uint " + std::to_string(value);
}
Log operator+(Log a, const Log& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::string kQt = mime("video/quicktime");
// What soundMovie() reports.
const Log kSound = {i32("TODO_video.duration", 10),  i32("media.duration", 10),
                    i32("audio.channel_count", 2),   str("media.sample_format", "16 bit int"),
                    u32("media.sample_rate", 44100), str("av.audio_codec", "mp4a")};
const Log kSoundMp4 = kSound + Log{mime("audio/mp4")};
const Log kMvhd3 = {i32("TODO_video.duration", 3), kQt};

Bytes nested(int n, Bytes inner) {
  for (int i = 0; i < n; ++i) inner = box("trak", inner);
  return inner;
}
Bytes mp4(const std::vector<Bytes>& moovChildren) { return ftyp() + box("moov", moovChildren); }
Bytes tags(const std::vector<Bytes>& items) { return mp4({udtaTags(items)}); }
Log audio(int channels, const std::string& bits, uint32_t rate, const Bytes& code) {
  return {i32("audio.channel_count", channels), str("media.sample_format", bits + " bit int"),
          u32("media.sample_rate", rate), str("av.audio_codec", code)};
}
Log video(int width, int height, const Bytes& code) {
  return {i32("image.width", width), i32("image.height", height), str("av.video_codec", code)};
}
const Bytes kUtf16("\xFE\xFF\0S\0o\0n\0g", 10);

struct FileCase {
  const char* name;
  Bytes file;
  Log log;
  std::optional<std::string> diagnostics = std::nullopt;  // on standard error
};
void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

std::string name(const testing::TestParamInfo<FileCase>& row) { return row.param.name; }

class Files : public testing::TestWithParam<FileCase> {};

TEST_P(Files, ReportWhatTheirBoxesHold) {
  testing::internal::CaptureStderr();
  const Log log = Harness().run(GetParam().file);
  const std::string diagnostics = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log, GetParam().log);
  EXPECT_EQ(diagnostics, GetParam().diagnostics.value_or(diagnostics));
}

INSTANTIATE_TEST_SUITE_P(
    Intake, Files,
    testing::Values(
        FileCase{"MdatFirst", box("mdat", "") + soundMovie(), {}},
        FileCase{"UpperCaseMoov", box("MOOV", "") + soundMovie(), {}},
        FileCase{"MoovFirstIsQuickTimeWhateverTheTracks",
                 box("moov", {hdlr("vide"), hdlr("soun")}) + box("free", "x"),
                 {kQt}},
        FileCase{"LargeMoov", ftyp() + largeBox("moov", soundMovie().substr(8)), kSoundMp4},
        FileCase{"MoovOf3GiBPastEnd",
                 ftyp() + soundMovie() + boxWithSizeField(0xC0000000u, "moov", zeros(91)), kSound},
        FileCase{"Large15", ftyp() + soundMovie() + largeBox("free", zeros(8), 15), kSound},
        FileCase{"LargePastEnd", ftyp() + soundMovie() + largeBox("moov", "", 17), kSound},
        FileCase{"LargeNegative", ftyp() + soundMovie() + largeBox("free", "", 1ull << 63), kSound},
        // Stepping by the size field would land on a well-formed box.
        FileCase{"Size7", ftyp() + soundMovie() + be32(7) + zeros(3) + be32(8) + "free", kSound}),
    name);

INSTANTIATE_TEST_SUITE_P(
    Walker, Files,
    testing::Values(
        FileCase{"SixtyFourBitChildSize",
                 box("moov", {largeBox("trak", boxWithSizeField(9, "mdia", "")), mvhd(1, 3)}),
                 kMvhd3, "    64 bit length: 24\n        1 excess bytes in moov.trak.mdia box\n"},
        FileCase{"ChildPastItsContainer",
                 ftyp() + box("moov", boxWithSizeField(120, "trak", mdhd(1, 5)) + zeros(60)) +
                     soundMovie(),
                 kSoundMp4, "    20 excess bytes in moov.trak box\n"},
        FileCase{"SizeSeven",
                 box("moov", {mvhd(1, 3), boxWithSizeField(7, "trak", ""), mdhd(1, 4)}), kMvhd3,
                 "    box smaller than its header: moov.trak\n"},
        FileCase{"LargeFifteen", box("moov", {mvhd(1, 3), largeBox("free", "", 15), mdhd(1, 4)}),
                 kMvhd3, "    64 bit length: 15\n    box smaller than its header: moov.free\n"},
        FileCase{"LargeNegative",
                 box("moov", {mvhd(1, 3), largeBox("free", "", 1ull << 63), mdhd(1, 4)}), kMvhd3,
                 "    64 bit length: -9223372036854775808\n"
                 "    box smaller than its header: moov.free\n"},
        FileCase{"LargeHeaderCutOff", box("moov", {mvhd(1, 3), be32(1) + "mdhd" + be32(0)}), kMvhd3,
                 "    64 bit length cut off at the end of moov.mdhd box\n"},
        FileCase{"TailBelowAHeader", box("moov", {mvhd(1, 3), "abc"}), kMvhd3, ""},
        // Each of trak and free runs to the end of its container.
        FileCase{"SizeZeroChildRunsToTheEnd",
                 box("moov",
                     {mvhd(1, 3), be32(0) + "trak" + mdhd(1, 4) + be32(0) + "free" + mvhd(1, 5)}),
                 {i32("TODO_video.duration", 3), i32("media.duration", 4), kQt}},
        FileCase{
            "DepthFourteen", box("moov", nested(14, mdhd(1, 4))), {i32("media.duration", 4), kQt}},
        FileCase{"DepthFifteen", box("moov", nested(15, mdhd(1, 4))), {kQt}},
        // The mdhd's duration field is the size of a box after it.
        FileCase{"ParsedTypesAreNotWalked",
                 box("moov", {fullBox("mdhd", 0, 0, zeros(8) + be32(1) + mvhd(1, 3))}),
                 {i32("media.duration", 32), kQt}},
        // The meta box counts twice.
        FileCase{
            "ItemsIndentedForDepthSix",
            movie({}, {item("\251nam", {boxWithSizeField(30, "data", be32(1) + be32(0))})}),
            {i32("TODO_video.duration", 0), kQt},
            std::string(24, ' ') + "14 excess bytes in moov.udta.meta.ilst.\251nam.data box\n"}),
    name);

INSTANTIATE_TEST_SUITE_P(
    Boxes, Files,
    testing::Values(
        FileCase{"VideoHandlerOfAnyVersionBeforeSound",
                 mp4({fullBox("hdlr", 9, 0, zeros(4) + "vide"), hdlr("soun")}),
                 {mime("video/mp4")}},
        FileCase{
            "SoundHintMdir", mp4({hdlr("soun"), hdlr("hint"), hdlr("mdir")}), {mime("audio/mp4")}},
        FileCase{"NoMediaHandler", mp4({hdlr("mdir"), hdlr("SOUN"), hdlr("url ", "soun")}), {}},
        FileCase{"Encv", mp4({stsd({videoEntry("encv", 65535, 0)})}), video(65535, 0, "encv")},
        FileCase{"Enca", mp4({stsd({audioEntry("enca", 6, 24, 0xBB80FFFF)})}),
                 audio(6, "24", 48000, "enca")},
        FileCase{"Sawb", mp4({stsd({audioEntry("sawb", 65535, 65535, UINT32_MAX)})}),
                 audio(65535, "65535", 65535, "sawb")},
        FileCase{"OnlyTheFirstEntry",
                 mp4({stsd({audioEntry("alac", 2, 16, 0), audioEntry("mp4a", 2, 16, 0)})}),
                 {}},
        // Walked items: one listed to give nothing, one not listed at all.
        FileCase{"Silent", tags({textItem("pgap", "x"), textItem("cnID", "x")}), {}},
        FileCase{
            "Numbers",
            tags({item("trkn", {data(0, be32(5) + be16(12) + be16(0))}),
                  item("disk", {data(0, be16(9) + be16(65535) + be16(65535) + "rest")}),
                  item("gnre", {data(0, be16(65535) + "x")}),
                  item("rtng", {data(21, "\x01\x02\x03")}), item("rtng", {data(21, be16(65535))})}),
            {str("TODO_trackNumber", "5/12"), str("TODO_discNumber", "65535/65535"),
             str("content.genre", "(65535)"), i32("user.rating", 258), i32("user.rating", 65535)}},
        // Every data box of an item, the value as stored.
        FileCase{"AsStoredInOrder",
                 tags({item("\251nam", {data(1, Bytes("Song\0\0  ", 8)), data(1, "")}),
                       item("\251alb", {data(2, kUtf16)}), textItem("\251gen", "Rock"),
                       item("gnre", {data(0, be16(18))})}),
                 {str("audio.title", Bytes("Song\0\0  ", 8)), str("audio.title", ""),
                  str("audio.album", kUtf16), str("content.genre", "Rock"),
                  str("content.genre", "(18)")}},
        // Paths shorter than the item list's, as long and longer.
        FileCase{"DataOutsideTheItemList",
                 ftyp() + meta({hdlr("mdir"), ilst({textItem("\251nam", "x")})}) +
                     box("moov", {box("trak", {meta({ilst({textItem("\251nam", "x")})})}),
                                  box("udta", {ilst({textItem("\251nam", "x")})}),
                                  udtaTags({item("\251nam", {box("\251ART", {data(1, "Deep")})}),
                                            box("data", be32(1) + be32(0) + "Bare")})}),
                 {}},
        FileCase{"MetaVersionOneHidesItsTags",
                 mp4({box("udta", {meta({hdlr("soun"), ilst({textItem("\251nam", "H")})}, 1),
                                   meta({ilst({textItem("\251ART", "Shown")})})})}),
                 {str("audio.artist", "Shown")}}),
    name);

TEST(Intake, StreamsOfEveryKind) {
  Harness harness;
  EXPECT_EQ(harness.call(
                [](Mp4ThroughAnalyzer& a) { EXPECT_EQ(a.connectInputStream(nullptr), nullptr); }),
            Log{});
  // A size-zero last box runs to the end, known or not, but not when a read
  // fails on the way there.
  const Bytes toEnd =
      ftyp() + box("free", "") +
      boxWithSizeField(0, "moov", soundMovie().substr(8) + box("free", zeros(9000)));
  for (auto size : {TestStream::Known, TestStream::LearntAtEnd, TestStream::NeverKnown}) {
    EXPECT_EQ(harness.run(toEnd, size), kSoundMp4) << size;
  }
  TestStream failing(toEnd, TestStream::NeverKnown, static_cast<int64_t>(toEnd.size()) - 1);
  EXPECT_EQ(harness.run(&failing), Log{});
  // Without a size the last header read falls short: no mime type.
  const Bytes file = ftyp() + box("mdat", "media") + soundMovie();
  EXPECT_EQ(harness.run(file, TestStream::LearntAtEnd), kSoundMp4);
  EXPECT_EQ(harness.run(file, TestStream::NeverKnown), kSound);
  // Media data of size zero is not read through to find its end.
  TestStream neverTells(ftyp() + soundMovie() + boxWithSizeField(0, "mdat", Bytes(1 << 20, 'x')),
                        TestStream::NeverKnown);
  EXPECT_EQ(harness.run(&neverTells), kSoundMp4);
  EXPECT_EQ(neverTells.furthest(), static_cast<int64_t>(ftyp().size() + soundMovie().size() + 8));
  // The flags start afresh with each stream.
  EXPECT_EQ(harness.run(ftyp() + movie({{"vide", 1, 0, ""}})).back(), mime("video/mp4"));
  EXPECT_EQ(harness.run(ftyp() + movie({{"soun", 1, 0, ""}})).back(), mime("audio/mp4"));
  EXPECT_EQ(harness.run(box("moov", "")), Log{kQt});
  EXPECT_EQ(harness.run(ftyp() + movie({})).back(), i32("TODO_video.duration", 0));
}

// The item types that hold values are walked in the tag rows.
TEST(Walker, ContainersAndOtherTypes) {
  for (const char* type :
       {"moov", "trak", "edts", "mdia", "minf", "dinf", "stbl", "gmhd", "tref", "chap", "udta",
        "ilst", "atID", "plID", "geID", "sfID", "akID", "stik"}) {
    EXPECT_EQ(Harness().run(ftyp() + box("moov", {box(type, {hdlr("soun")})})),
              Log{mime("audio/mp4")})
        << type;
  }
  for (const char* type : {"free", "mdat", "tkhd", "mvex", "moof", "tmpo", "cpil", "\251grp",
                           "----", "ldes", "\xC2\xA9na", "TRAK"}) {
    EXPECT_EQ(Harness().run(ftyp() + box("moov", {box(type, {hdlr("soun")})})), Log{}) << type;
  }
}

using BoxParser = bool (Mp4ThroughAnalyzer::*)(const char*, int64_t, const std::string&, int);

// A parser called on a heap copy of exactly a box's payload (cut to length
// when given), at the depth of its path.
std::pair<bool, Log> parse(BoxParser parser, const Bytes& box, const std::string& path,
                           std::optional<size_t> length = std::nullopt) {
  const Bytes payload = box.substr(8, length.value_or(std::string::npos));
  const std::unique_ptr<char[]> copy(new char[payload.size()]);
  payload.copy(copy.get(), payload.size());
  bool result = false;
  Log log = Harness().call([&](Mp4ThroughAnalyzer& a) {
    result = (a.*parser)(copy.get(), static_cast<int64_t>(payload.size()), path,
                         static_cast<int>(path.size() / 5));
  });
  return {result, log};
}

using M = Mp4ThroughAnalyzer;

TEST(Boxes, TimeHeadersGiveWholeSecondsTowardZero) {
  constexpr int64_t k2To32 = int64_t{1} << 32;
  const struct {
    uint8_t version;
    uint32_t timescale;
    int64_t duration;
    std::optional<int32_t> seconds;  // nothing reported and false when empty
  } cases[] = {{0, 600, 5999, 9},
               {0, 1, -1, -1},
               {0, 2, -1, 0},
               {0, UINT32_MAX, UINT32_MAX, 0},
               {0, 0, 600, std::nullopt},
               {1, 1000, k2To32 * 1000 + 5000, 5},
               {1, 10000000, -1, 0},
               {1, UINT32_MAX, UINT32_MAX * int64_t{3}, 3},
               {2, 600, 6000, std::nullopt}};
  for (const auto& c : cases) {
    const auto [ok, log] =
        parse(&M::parseMdhdBox, mdhd(c.timescale, c.duration, c.version), "mdhd");
    EXPECT_EQ(ok, c.seconds.has_value()) << c.duration;
    EXPECT_EQ(log, c.seconds ? Log{i32("media.duration", *c.seconds)} : Log{}) << c.duration;
  }
}

// The shortest payload of each box that is parsed, and what it reports;
// one byte less is refused without a report.
TEST(Boxes, ShortPayloadsAreRefused) {
  struct Case {
    BoxParser parser;
    Bytes box;
    std::string path;
    size_t length;
    Log log;
  };
  std::vector<Case> cases = {
      {&M::parseHintBox, box("hint", be32(7)), "moov.trak.tref.hint", 4, {}},
      {&M::parseHdlrBox, hdlr("soun"), "moov.trak.hdlr", 12, {}},
      {&M::parseMvhdBox, mvhd(600, 6000), "moov.mvhd", 20, {i32("TODO_video.duration", 10)}},
      {&M::parseMdhdBox, mdhd(600, 6000, 1), "moov.mdhd", 32, {i32("media.duration", 10)}},
      {&M::parseStsdBox, stsd({audioEntry("alac", 2, 16, 0)}), "moov.stsd", 16, {}},
      {&M::parseStsdBox, stsd({audioEntry("mp4a", 2, 16, 44100u << 16)}), "moov.stsd", 44,
       audio(2, "16", 44100, "mp4a")},
      {&M::parseMetaBox, meta({}), "moov.udta.meta", 4, {}}};
  // Data boxes, by the item that holds them: the payload is the shortest.
  for (const auto& [item, payload, log] : std::vector<std::tuple<std::string, Bytes, Log>>{
           {"\251nam", zeros(8), {str("audio.title", "")}},
           {"gnre", zeros(8) + be16(17), {str("content.genre", "(17)")}},
           {"trkn", zeros(8) + be32(5) + be16(3), {str("TODO_trackNumber", "5/3")}},
           {"disk", zeros(14), {str("TODO_discNumber", "0/0")}},
           {"rtng", zeros(8) + "\x05", {i32("user.rating", 5)}}}) {
    cases.push_back({&M::parseDataBox, box("data", payload),
                     "moov.udta.meta.ilst." + item + ".data", payload.size(), log});
  }
  for (const auto& c : cases) {
    EXPECT_EQ(parse(c.parser, c.box, c.path, c.length), std::make_pair(true, c.log)) << c.path;
    const bool dataBox = c.parser == &M::parseDataBox;  // refuses silently but succeeds
    EXPECT_EQ(parse(c.parser, c.box, c.path, c.length - 1), std::make_pair(dataBox, Log{}))
        << c.path;
  }
  EXPECT_TRUE(parse(&M::parseFtypBox, box("ftyp", ""), "ftyp").first);
  // A bad child ends the walk of its container, which still succeeds.
  testing::internal::CaptureStderr();
  for (const Bytes& bad : {boxWithSizeField(120, "trak", ""), boxWithSizeField(4, "free", ""),
                           be32(1) + "mdhd" + be32(0)}) {
    EXPECT_TRUE(parse(&M::parseBox, box("moov", bad), "moov").first);
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(parse(&M::parseStsdBox, stsd({audioEntry("mp4a", 2, 16, 0)}, 1), "moov.stsd"),
            std::make_pair(false, Log{}));
  EXPECT_TRUE(parse(&M::parseHintBox, box("hint", be32(0x00FFFFFF)), "moov.hint").first);
  EXPECT_FALSE(parse(&M::parseHintBox, box("hint", be32(0x01000000)), "moov.hint").first);
}

}  // namespace
}  // namespace mp4test
