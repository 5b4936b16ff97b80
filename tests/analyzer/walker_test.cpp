#include <gtest/gtest.h>

#include "boxes.h"
#include "recording.h"

namespace mp4test {
namespace {

struct Walk {
  Log log;
  std::string diagnostics;
};

// Runs bytes through a new analyzer, capturing standard error.
Walk walk(const Bytes& file) {
  Harness harness;
  testing::internal::CaptureStderr();
  Log log = harness.run(file);
  return {std::move(log), testing::internal::GetCapturedStderr()};
}

// The bytes wrapped in n nested "trak" boxes.
Bytes nested(int n, Bytes inner) {
  for (int i = 0; i < n; ++i) inner = box("trak", inner);
  return inner;
}

const Report kQuickTime = mime("video/quicktime");

TEST(Walker, SixtyFourBitChildSizeIsUsedAndReported) {
  // The trak's payload is 8 bytes, which its 9-byte child overruns by 1.
  const Walk w = walk(box("moov", {largeBox("trak", boxWithSizeField(9, "mdia", "")), mvhd(1, 3)}));
  EXPECT_EQ(w.diagnostics, "    64 bit length: 24\n        1 excess bytes in moov.trak.mdia box\n");
  EXPECT_EQ(w.log, (Log{i32("TODO_video.duration", 3), kQuickTime}));
}

TEST(Walker, ChildPastItsContainerIsReportedAndEndsTheWalk) {
  const Bytes trak = boxWithSizeField(120, "trak", mdhd(1, 5));
  const Bytes moov = box("moov", trak + zeros(100 - trak.size()));
  const Walk w = walk(ftyp() + moov + soundMovie());
  EXPECT_EQ(w.diagnostics, "    20 excess bytes in moov.trak box\n");
  EXPECT_EQ(w.log, soundMovieLog() + Log{mime("audio/mp4")});
}

class ChildTooSmall : public testing::TestWithParam<std::pair<Bytes, std::string>> {};

TEST_P(ChildTooSmall, EndsTheContainerWalkWithOneLine) {
  const Walk w = walk(box("moov", {mvhd(1, 3), GetParam().first, mdhd(1, 4)}));
  EXPECT_EQ(w.diagnostics, GetParam().second);
  EXPECT_EQ(w.log, (Log{i32("TODO_video.duration", 3), kQuickTime}));
}

INSTANTIATE_TEST_SUITE_P(
    Walker, ChildTooSmall,
    testing::Values(
        std::make_pair(boxWithSizeField(4, "free", ""),
                       "    box smaller than its header: moov.free\n"),
        std::make_pair(boxWithSizeField(7, "trak", ""),
                       "    box smaller than its header: moov.trak\n"),
        std::make_pair(largeBox("free", "", 15),
                       "    64 bit length: 15\n    box smaller than its header: moov.free\n"),
        std::make_pair(largeBox("free", "", uint64_t{1} << 63),
                       "    64 bit length: -9223372036854775808\n"
                       "    box smaller than its header: moov.free\n")));

TEST(Walker, SixtyFourBitHeaderCutOffByTheContainerEndsItsWalk) {
  // The last child's 16-byte header would reach 4 bytes past the movie, the
  // last bytes of the stream.
  const Walk w = walk(box("moov", {mvhd(1, 3), be32(1) + "mdhd" + be32(0)}));
  EXPECT_EQ(w.diagnostics, "    64 bit length cut off at the end of moov.mdhd box\n");
  EXPECT_EQ(w.log, (Log{i32("TODO_video.duration", 3), kQuickTime}));
}

TEST(Walker, UnknownChildIsSkippedBySize) {
  const Walk w = walk(box("moov", {mvhd(1, 3), box("free", mdhd(1, 9)), mdhd(1, 4), "abc"}));
  EXPECT_EQ(w.log, (Log{i32("TODO_video.duration", 3), i32("media.duration", 4), kQuickTime}));
  EXPECT_EQ(w.diagnostics, "");
}

TEST(Walker, ChildOfSizeZeroRunsToTheContainerEnd) {
  EXPECT_EQ(walk(box("moov", {boxWithSizeField(0, "free", ""), mvhd(1, 3)})).log, Log{kQuickTime});
  EXPECT_EQ(walk(box("moov", {mvhd(1, 3), boxWithSizeField(0, "trak", mdhd(1, 4))})).log,
            (Log{i32("TODO_video.duration", 3), i32("media.duration", 4), kQuickTime}));
}

TEST(Walker, ContainerPayloadShorterThanAHeaderIsNotWalked) {
  EXPECT_EQ(walk(box("moov", "1234567")).log, Log{kQuickTime});
  EXPECT_EQ(walk(box("moov", {box("trak", mdhd(1, 4).substr(0, 7))})).log, Log{kQuickTime});
}

TEST(Walker, DepthLimit) {
  // A trak nested n levels below moov is handed to parseBox at depth n and
  // walks its children at n + 1; nothing is walked beyond depth 15.
  EXPECT_EQ(walk(box("moov", nested(14, mdhd(1, 4)))).log,
            (Log{i32("media.duration", 4), kQuickTime}));
  EXPECT_EQ(walk(box("moov", nested(15, mdhd(1, 4)))).log, Log{kQuickTime});
}

TEST(Walker, TagValueIsParsedAtDepthSevenAndMetaCountsTwice) {
  // Walked from depth d, the item list's items walk their data boxes at
  // d + 6 and the data box is parsed at d + 7; so from moov at depth 9 the
  // last walk runs at 15, from depth 10 at 16.
  const Bytes moov = movie({}, {textItem("\251nam", "Song")}, 1, 2);
  const Bytes payload = moov.substr(8);
  for (int depth : {0, 9, 10}) {
    Harness harness;
    const Log log = harness.call([&](Mp4ThroughAnalyzer& a) {
      parseExact(a, &Mp4ThroughAnalyzer::parseBox, payload, "moov", depth);
    });
    Log expected = {i32("TODO_video.duration", 2)};
    if (depth <= 9) expected.push_back(str("audio.title", "Song"));
    EXPECT_EQ(log, expected) << depth;
  }
  // The items' walk writes its diagnostics indented for depth 6.
  const Bytes badItem = item("\251nam", {boxWithSizeField(30, "data", be32(1) + be32(0))});
  EXPECT_EQ(walk(movie({}, {badItem})).diagnostics,
            std::string(24, ' ') + "14 excess bytes in moov.udta.meta.ilst.\251nam.data box\n");
}

TEST(Walker, TypesCompareExactly) {
  const Walk w = walk(box("moov", {box(Bytes("moo\0", 4), mdhd(1, 1)), box("TRAK", mdhd(1, 2)),
                                   box("Trak", mdhd(1, 3)), box("trak", mdhd(1, 4))}));
  EXPECT_EQ(w.log, (Log{i32("media.duration", 4), kQuickTime}));
}

TEST(Walker, ParsedTypesAreNotWalkedAsContainers) {
  // An mdhd whose duration field is the size of a box that follows: the
  // box is read as a duration (16 at timescale 1), never walked.
  const Bytes mdhdAroundMvhd = fullBox("mdhd", 0, 0, zeros(8) + be32(1) + mvhd(1, 3));
  EXPECT_EQ(walk(box("moov", {mdhdAroundMvhd})).log,
            (Log{i32("media.duration", static_cast<int32_t>(mvhd(1, 3).size())), kQuickTime}));
}

class ContainerType : public testing::TestWithParam<Bytes> {};

TEST_P(ContainerType, IsWalked) {
  EXPECT_EQ(walk(ftyp() + box("moov", {box(GetParam(), {hdlr("soun")})})).log,
            Log{mime("audio/mp4")});
}

INSTANTIATE_TEST_SUITE_P(Walker, ContainerType,
                         testing::Values("moov", "trak", "edts", "mdia", "minf", "dinf", "stbl",
                                         "gmhd", "tref", "chap", "udta", "ilst", "\251nam",
                                         "\251ART", "aART", "\251alb", "gnre", "trkn", "disk",
                                         "\251day", "pgap", "apID", "cprt", "cnID", "rtng", "atID",
                                         "plID", "geID", "sfID", "akID", "stik", "purd", "covr",
                                         "\251wrt", "\251cmt", "\251gen", "\251too", "keyw", "desc",
                                         "purl"));

class OtherType : public testing::TestWithParam<Bytes> {};

TEST_P(OtherType, IsNotWalked) {
  EXPECT_EQ(walk(ftyp() + box("moov", {box(GetParam(), {hdlr("soun")})})).log, Log{});
}

INSTANTIATE_TEST_SUITE_P(Walker, OtherType,
                         testing::Values("free", "mdat", "tkhd", "mvex", "moof", "tmpo", "cpil",
                                         "\251grp", "----", "ldes", "\xC2\xA9na", "TRAK"));

}  // namespace
}  // namespace mp4test
