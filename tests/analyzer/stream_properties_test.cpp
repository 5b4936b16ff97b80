#include <gtest/gtest.h>

#include <optional>

#include "boxes.h"
#include "recording.h"

namespace mp4test {
namespace {

using Parser = BoxParser;

struct Parsed {
  bool result;
  Log log;
};

// Calls parser directly on exactly the payload of box (its bytes after the
// 8-byte header), cut to length bytes when given.
Parsed parse(Parser parser, const Bytes& box, std::optional<size_t> length = std::nullopt) {
  Harness harness;
  Bytes payload = box.substr(8);
  if (length) payload.resize(*length);
  bool result = false;
  Log log = harness.call([&](Mp4ThroughAnalyzer& a) {
    result = parseExact(a, parser, payload, "moov.trak." + box.substr(4, 4), 4);
  });
  return {result, std::move(log)};
}

struct TimeCase {
  uint8_t version;
  uint32_t timescale;
  int64_t duration;
  std::optional<int32_t> seconds;  // nothing reported and false when empty
};

class TimeHeader : public testing::TestWithParam<TimeCase> {};

TEST_P(TimeHeader, ReportsWholeSecondsTruncatedTowardZero) {
  const TimeCase& c = GetParam();
  const std::pair<Parser, std::string> targets[] = {
      {&Mp4ThroughAnalyzer::parseMvhdBox, "TODO_video.duration"},
      {&Mp4ThroughAnalyzer::parseMdhdBox, "media.duration"}};
  for (const auto& [parser, key] : targets) {
    const Parsed p = parse(parser, mvhd(c.timescale, c.duration, c.version));
    EXPECT_EQ(p.result, c.seconds.has_value()) << key;
    EXPECT_EQ(p.log, c.seconds ? Log{i32(key, *c.seconds)} : Log{}) << key;
  }
}

constexpr int64_t k2To32 = int64_t{1} << 32;

INSTANTIATE_TEST_SUITE_P(
    StreamProperties, TimeHeader,
    testing::Values(TimeCase{0, 600, 6000, 10}, TimeCase{0, 600, 5999, 9}, TimeCase{0, 600, 0, 0},
                    TimeCase{0, 1, -1, -1}, TimeCase{0, 2, -1, 0}, TimeCase{0, 600, -6000, -10},
                    TimeCase{0, 1, INT32_MAX, INT32_MAX}, TimeCase{0, UINT32_MAX, UINT32_MAX, 0},
                    TimeCase{0, 0, 600, std::nullopt}, TimeCase{1, 1000, k2To32 * 1000 + 5000, 5},
                    TimeCase{1, 10000000, -1, 0},
                    TimeCase{1, UINT32_MAX, UINT32_MAX* int64_t{3}, 3},
                    TimeCase{1, 1, k2To32 + 7, 7}, TimeCase{1, 1, INT64_MIN, 0},
                    TimeCase{1, 0, 600, std::nullopt}, TimeCase{2, 600, 6000, std::nullopt},
                    TimeCase{255, 600, 6000, std::nullopt}));

struct ShortCase {
  const char* name;
  Parser parser;
  Bytes box;
  size_t length;  // the shortest payload that is parsed
  Log log;        // what that payload reports
};

class ShortPayload : public testing::TestWithParam<ShortCase> {};

TEST_P(ShortPayload, IsRefusedWithoutReport) {
  const ShortCase& c = GetParam();
  const Parsed whole = parse(c.parser, c.box, c.length);
  EXPECT_TRUE(whole.result);
  EXPECT_EQ(whole.log, c.log);
  const Parsed cut = parse(c.parser, c.box, c.length - 1);
  EXPECT_FALSE(cut.result);
  EXPECT_EQ(cut.log, Log{});
}

const Log kAudioEntryLog = {i32("audio.channel_count", 2), str("media.sample_format", "16 bit int"),
                            u32("media.sample_rate", 44100), str("av.audio_codec", "mp4a")};

INSTANTIATE_TEST_SUITE_P(
    StreamProperties, ShortPayload,
    testing::Values(
        ShortCase{"hint", &Mp4ThroughAnalyzer::parseHintBox, box("hint", be32(7)), 4, {}},
        ShortCase{"hdlr", &Mp4ThroughAnalyzer::parseHdlrBox, hdlr("soun"), 12, {}},
        ShortCase{"mvhd0",
                  &Mp4ThroughAnalyzer::parseMvhdBox,
                  mvhd(600, 6000),
                  20,
                  {i32("TODO_video.duration", 10)}},
        ShortCase{"mdhd1",
                  &Mp4ThroughAnalyzer::parseMdhdBox,
                  mdhd(600, 6000, 1),
                  32,
                  {i32("media.duration", 10)}},
        ShortCase{"stsdType",
                  &Mp4ThroughAnalyzer::parseStsdBox,
                  stsd({audioEntry("alac", 2, 16, 0)}),
                  16,
                  {}},
        ShortCase{"stsdAudio", &Mp4ThroughAnalyzer::parseStsdBox,
                  stsd({audioEntry("mp4a", 2, 16, 44100u << 16)}), 44, kAudioEntryLog},
        ShortCase{
            "stsdVideo",
            &Mp4ThroughAnalyzer::parseStsdBox,
            stsd({videoEntry("avc1", 320, 240)}),
            44,
            {i32("image.width", 320), i32("image.height", 240), str("av.video_codec", "avc1")}},
        ShortCase{"meta", &Mp4ThroughAnalyzer::parseMetaBox, meta({}), 4, {}}),
    [](const testing::TestParamInfo<ShortCase>& row) { return std::string(row.param.name); });

TEST(StreamProperties, FileTypeAndHintReportNothing) {
  EXPECT_TRUE(parse(&Mp4ThroughAnalyzer::parseFtypBox, box("ftyp", "")).result);
  EXPECT_TRUE(parse(&Mp4ThroughAnalyzer::parseHintBox, box("hint", be32(0x00FFFFFF))).result);
  EXPECT_FALSE(parse(&Mp4ThroughAnalyzer::parseHintBox, box("hint", be32(0x01000000))).result);
  EXPECT_EQ(
      Harness().run(ftyp() + box("moov", {box("trak", {box("tref", {box("hint", be32(2))})})})),
      Log{});
}

class Handler : public testing::TestWithParam<std::pair<Bytes, Log>> {};

TEST_P(Handler, OnlyTheHandlerTypeAtOffsetEightCounts) {
  EXPECT_EQ(Harness().run(ftyp() + box("moov", {GetParam().first})), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    StreamProperties, Handler,
    testing::Values(std::make_pair(hdlr("soun"), Log{mime("audio/mp4")}),
                    std::make_pair(hdlr("vide"), Log{mime("video/mp4")}),
                    std::make_pair(hdlr("vide", "mhlr"), Log{mime("video/mp4")}),
                    std::make_pair(fullBox("hdlr", 9, 0, zeros(4) + "soun"),
                                   Log{mime("audio/mp4")}),
                    std::make_pair(hdlr("mdir"), Log{}), std::make_pair(hdlr("SOUN"), Log{}),
                    std::make_pair(hdlr("url ", "soun"), Log{}),
                    std::make_pair(fullBox("hdlr", 0, 0, zeros(4) + "sou"), Log{})));

struct EntryCase {
  Bytes code;
  bool video;
};

class SampleEntry : public testing::TestWithParam<EntryCase> {};

TEST_P(SampleEntry, RecognisedCodecReportsInOrder) {
  const Bytes& code = GetParam().code;
  if (GetParam().video) {
    EXPECT_EQ(
        parse(&Mp4ThroughAnalyzer::parseStsdBox, stsd({videoEntry(code, 1920, 1080)})).log,
        (Log{i32("image.width", 1920), i32("image.height", 1080), str("av.video_codec", code)}));
  } else {
    EXPECT_EQ(
        parse(&Mp4ThroughAnalyzer::parseStsdBox, stsd({audioEntry(code, 6, 24, 0xBB80FFFF)})).log,
        (Log{i32("audio.channel_count", 6), str("media.sample_format", "24 bit int"),
             u32("media.sample_rate", 48000), str("av.audio_codec", code)}));
  }
}

INSTANTIATE_TEST_SUITE_P(StreamProperties, SampleEntry,
                         testing::Values(EntryCase{"mp4v", true}, EntryCase{"avc1", true},
                                         EntryCase{"encv", true}, EntryCase{"s263", true},
                                         EntryCase{"mp4a", false}, EntryCase{"enca", false},
                                         EntryCase{"samr", false}, EntryCase{"sawb", false}));

TEST(StreamProperties, UnrecognisedFirstEntryReportsNothing) {
  for (const Bytes code : {"alac", "MP4A", "AVC1", "mp4s", "hvc1"}) {
    const Parsed p = parse(&Mp4ThroughAnalyzer::parseStsdBox,
                           stsd({audioEntry(code, 2, 16, 0), audioEntry("mp4a", 2, 16, 0)}));
    EXPECT_TRUE(p.result) << code;
    EXPECT_EQ(p.log, Log{}) << code;
  }
}

TEST(StreamProperties, OnlyTheFirstEntryCounts) {
  EXPECT_EQ(parse(&Mp4ThroughAnalyzer::parseStsdBox,
                  stsd({audioEntry("mp4a", 2, 16, 44100u << 16), videoEntry("avc1", 1, 1)}))
                .log,
            kAudioEntryLog);
}

TEST(StreamProperties, SampleFieldsAtTheirLimits) {
  EXPECT_EQ(parse(&Mp4ThroughAnalyzer::parseStsdBox, stsd({audioEntry("mp4a", 0, 0, 0)})).log,
            (Log{i32("audio.channel_count", 0), str("media.sample_format", "0 bit int"),
                 u32("media.sample_rate", 0), str("av.audio_codec", "mp4a")}));
  EXPECT_EQ(
      parse(&Mp4ThroughAnalyzer::parseStsdBox, stsd({audioEntry("mp4a", 65535, 65535, UINT32_MAX)}))
          .log,
      (Log{i32("audio.channel_count", 65535), str("media.sample_format", "65535 bit int"),
           u32("media.sample_rate", 65535), str("av.audio_codec", "mp4a")}));
  EXPECT_EQ(
      parse(&Mp4ThroughAnalyzer::parseStsdBox, stsd({videoEntry("avc1", 65535, 0)})).log,
      (Log{i32("image.width", 65535), i32("image.height", 0), str("av.video_codec", "avc1")}));
}

TEST(StreamProperties, SampleDescriptionVersionOneIsRefused) {
  const Parsed p =
      parse(&Mp4ThroughAnalyzer::parseStsdBox, stsd({audioEntry("mp4a", 2, 16, 44100u << 16)}, 1));
  EXPECT_FALSE(p.result);
  EXPECT_EQ(p.log, Log{});
}

TEST(StreamProperties, MovieWithSoundAndVideoInEitherOrder) {
  const Log sound = {i32("media.duration", 10), i32("audio.channel_count", 2),
                     str("media.sample_format", "16 bit int"), u32("media.sample_rate", 44100),
                     str("av.audio_codec", "mp4a")};
  const Log video = {i32("media.duration", 10), i32("image.width", 320), i32("image.height", 240),
                     str("av.video_codec", "avc1")};
  const Log head = {i32("TODO_video.duration", 12)};
  EXPECT_EQ(Harness().run(ftyp() + movie({soundTrack(), videoTrack()}, {}, 1000, 12345)),
            head + sound + video + Log{mime("video/mp4")});
  EXPECT_EQ(Harness().run(ftyp() + movie({videoTrack(), soundTrack()}, {}, 1000, 12345)),
            head + video + sound + Log{mime("video/mp4")});
}

}  // namespace
}  // namespace mp4test
