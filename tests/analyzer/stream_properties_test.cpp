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

Log audioLog(int32_t channels, const std::string& bits, uint32_t rate, const Bytes& code) {
  return {i32("audio.channel_count", channels), str("media.sample_format", bits + " bit int"),
          u32("media.sample_rate", rate), str("av.audio_codec", code)};
}

Log videoLog(int32_t width, int32_t height, const Bytes& code) {
  return {i32("image.width", width), i32("image.height", height), str("av.video_codec", code)};
}

const Log kAudioEntryLog = audioLog(2, "16", 44100, "mp4a");

using M = Mp4ThroughAnalyzer;

INSTANTIATE_TEST_SUITE_P(
    StreamProperties, ShortPayload,
    testing::Values(
        ShortCase{"hint", &M::parseHintBox, box("hint", be32(7)), 4, {}},
        ShortCase{"hdlr", &M::parseHdlrBox, hdlr("soun"), 12, {}},
        ShortCase{"mvhd0", &M::parseMvhdBox, mvhd(600, 6000), 20, {i32("TODO_video.duration", 10)}},
        ShortCase{"mdhd1", &M::parseMdhdBox, mdhd(600, 6000, 1), 32, {i32("media.duration", 10)}},
        ShortCase{"stsdType", &M::parseStsdBox, stsd({audioEntry("alac", 2, 16, 0)}), 16, {}},
        ShortCase{"stsdAudio", &M::parseStsdBox, stsd({audioEntry("mp4a", 2, 16, 44100u << 16)}),
                  44, kAudioEntryLog},
        ShortCase{"stsdVideo", &M::parseStsdBox, stsd({videoEntry("avc1", 320, 240)}), 44,
                  videoLog(320, 240, "avc1")},
        ShortCase{"meta", &M::parseMetaBox, meta({}), 4, {}}),
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

struct StsdCase {
  Bytes stsd;
  bool result;
  Log log;
};

class SampleDescription : public testing::TestWithParam<StsdCase> {};

TEST_P(SampleDescription, FirstEntryReportsInOrderWhenItsCodecIsKnown) {
  const Parsed p = parse(&Mp4ThroughAnalyzer::parseStsdBox, GetParam().stsd);
  EXPECT_EQ(p.result, GetParam().result);
  EXPECT_EQ(p.log, GetParam().log);
}

StsdCase video(const Bytes& code) {
  return {stsd({videoEntry(code, 1920, 1080)}), true, videoLog(1920, 1080, code)};
}
StsdCase audio(const Bytes& code) {
  return {stsd({audioEntry(code, 6, 24, 0xBB80FFFF)}), true, audioLog(6, "24", 48000, code)};
}
StsdCase unknown(const Bytes& code) {
  return {stsd({audioEntry(code, 2, 16, 0), audioEntry("mp4a", 2, 16, 0)}), true, {}};
}

INSTANTIATE_TEST_SUITE_P(
    StreamProperties, SampleDescription,
    testing::Values(
        video("mp4v"), video("avc1"), video("encv"), video("s263"), audio("mp4a"), audio("enca"),
        audio("samr"), audio("sawb"), unknown("alac"), unknown("MP4A"), unknown("AVC1"),
        unknown("mp4s"), unknown("hvc1"),
        // Only the first entry counts.
        StsdCase{stsd({audioEntry("mp4a", 2, 16, 44100u << 16), videoEntry("avc1", 1, 1)}), true,
                 kAudioEntryLog},
        // Fields at their limits.
        StsdCase{stsd({audioEntry("mp4a", 0, 0, 0)}), true, audioLog(0, "0", 0, "mp4a")},
        StsdCase{stsd({audioEntry("mp4a", 65535, 65535, UINT32_MAX)}), true,
                 audioLog(65535, "65535", 65535, "mp4a")},
        StsdCase{stsd({videoEntry("avc1", 65535, 0)}), true, videoLog(65535, 0, "avc1")},
        // Version 1 is refused.
        StsdCase{stsd({audioEntry("mp4a", 2, 16, 44100u << 16)}, 1), false, {}}));

TEST(StreamProperties, MovieWithSoundAndVideoInEitherOrder) {
  const Log sound = Log{i32("media.duration", 10)} + kAudioEntryLog;
  const Log video = Log{i32("media.duration", 10)} + videoLog(320, 240, "avc1");
  const Log head = {i32("TODO_video.duration", 12)};
  EXPECT_EQ(Harness().run(ftyp() + movie({soundTrack(), videoTrack()}, {}, 1000, 12345)),
            head + sound + video + Log{mime("video/mp4")});
  EXPECT_EQ(Harness().run(ftyp() + movie({videoTrack(), soundTrack()}, {}, 1000, 12345)),
            head + video + sound + Log{mime("video/mp4")});
}

}  // namespace
}  // namespace mp4test
