#include <gtest/gtest.h>

#include "boxes.h"
#include "recording.h"
#include "streams.h"

namespace mp4test {
namespace {

TEST(Intake, NullStreamGivesNullAndNoReport) {
  Harness harness;
  const Log log = harness.call([](Mp4ThroughAnalyzer& analyzer) {
    EXPECT_EQ(analyzer.connectInputStream(nullptr), nullptr);
  });
  EXPECT_EQ(log, Log{});
}

class FirstBoxType : public testing::TestWithParam<Bytes> {};

TEST_P(FirstBoxType, OtherThanMoovOrFtypIsNotWalked) {
  EXPECT_EQ(Harness().run(box(GetParam(), Bytes()) + soundMovie()), Log{});
}

INSTANTIATE_TEST_SUITE_P(Intake, FirstBoxType,
                         testing::Values("mdat", "free", "MOOV", Bytes("moo\0", 4), "FTYP"));

TEST(Intake, MoovFirstGivesQuickTimeLastWhateverTheTracks) {
  const Bytes file =
      movie({videoTrack(), soundTrack()}, {textItem("\251nam", "Song")}) + box("free", "x");
  const Log log = Harness().run(file);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), mime("video/quicktime"));
  EXPECT_EQ(std::count(log.begin(), log.end(), log.back()), 1);
}

TEST(Intake, FtypAloneGivesNothing) { EXPECT_EQ(Harness().run(box("ftyp", Bytes())), Log{}); }

struct HandlerCase {
  std::vector<Bytes> handlers;
  const char* mimeType;  // nullptr: none
};

class MimeTypeFromHandlers : public testing::TestWithParam<HandlerCase> {};

TEST_P(MimeTypeFromHandlers, AfterFtyp) {
  std::vector<Track> tracks;
  for (const Bytes& handler : GetParam().handlers) tracks.push_back({handler, 1, 0, Bytes()});
  Log expected = {i32("TODO_video.duration", 0)};
  for (size_t i = 0; i < tracks.size(); ++i) expected.push_back(i32("media.duration", 0));
  if (GetParam().mimeType) expected.push_back(mime(GetParam().mimeType));
  EXPECT_EQ(Harness().run(ftyp() + movie(tracks)), expected);
}

INSTANTIATE_TEST_SUITE_P(Intake, MimeTypeFromHandlers,
                         testing::Values(HandlerCase{{"vide", "soun"}, "video/mp4"},
                                         HandlerCase{{"soun", "vide"}, "video/mp4"},
                                         HandlerCase{{"vide"}, "video/mp4"},
                                         HandlerCase{{"soun"}, "audio/mp4"},
                                         HandlerCase{{"soun", "hint", "mdir"}, "audio/mp4"},
                                         HandlerCase{{"mdir", "SOUN", "text"}, nullptr},
                                         HandlerCase{{}, nullptr}));

TEST(Intake, SizeZeroLastBoxRunsToTheEndOfTheStream) {
  // Also when the stream does not know its size: then to what it delivers.
  const Bytes file = ftyp() + box("free", "") + boxWithSizeField(0, "moov", soundMovie().substr(8));
  FreshBufferStream sized(file);
  UnknownSizeStream learns(file);
  UnknownSizeStream neverTells(file, false);
  for (Strigi::InputStream* in :
       std::initializer_list<Strigi::InputStream*>{&sized, &learns, &neverTells}) {
    EXPECT_EQ(Harness().run(in), soundMovieLog() + Log{mime("audio/mp4")});
  }
}

TEST(Intake, SizeZeroMediaDataIsNotPulledThroughAStreamOfUnknownSize) {
  // Nobody looks into media data, so its end need not be found by reading.
  const Bytes head = ftyp() + soundMovie();
  UnknownSizeStream neverTells(head + boxWithSizeField(0, "mdat", Bytes(1 << 20, 'x')), false);
  EXPECT_EQ(Harness().run(&neverTells), soundMovieLog() + Log{mime("audio/mp4")});
  EXPECT_EQ(neverTells.furthest(), static_cast<int64_t>(head.size() + 8));
}

TEST(Intake, StreamOfUnknownSizeIsWalkedToTheEnd) {
  const Bytes file = ftyp() + box("mdat", "media") + soundMovie();
  UnknownSizeStream learns(file);
  EXPECT_EQ(Harness().run(&learns), soundMovieLog() + Log{mime("audio/mp4")});
  // Without a size the last header read falls short: no mime type.
  UnknownSizeStream neverTells(file, false);
  EXPECT_EQ(Harness().run(&neverTells), soundMovieLog());
}

TEST(Intake, FlagsAreClearedForEachStream) {
  Harness harness;
  EXPECT_EQ(harness.run(ftyp() + movie({{"vide", 1, 0, ""}})).back(), mime("video/mp4"));
  EXPECT_EQ(harness.run(ftyp() + movie({{"soun", 1, 0, ""}})).back(), mime("audio/mp4"));
  // An empty movie first gives exactly the QuickTime type.
  EXPECT_EQ(harness.run(box("moov", "")), Log{mime("video/quicktime")});
  EXPECT_EQ(harness.run(ftyp() + movie({{"soun", 1, 0, ""}})).back(), mime("audio/mp4"));
  EXPECT_EQ(harness.run(ftyp() + movie({})).back(), i32("TODO_video.duration", 0));
}

// Stepping by a size field below 8 would land on a well-formed 8-byte box.
Bytes sizeBelowEight(uint32_t n) {
  return n < 4 ? be32(n) + "free" + zeros(8) : be32(n) + zeros(n - 4) + be32(8) + "free";
}

class BadTail : public testing::TestWithParam<Bytes> {};

TEST_P(BadTail, KeepsEarlierValuesButGivesNoMimeType) {
  EXPECT_EQ(Harness().run(ftyp() + soundMovie() + GetParam()), soundMovieLog());
}

INSTANTIATE_TEST_SUITE_P(Intake, BadTail,
                         testing::Values("abc", boxWithSizeField(100, "mdat", zeros(91)),
                                         boxWithSizeField(100, "moov", zeros(91)),
                                         largeBox("free", zeros(8), 15), largeBox("free", "", 8),
                                         largeBox("free", "", 0), largeBox("moov", "", 17),
                                         largeBox("free", "", uint64_t{1} << 63),
                                         largeBox("free", "").substr(0, 12), sizeBelowEight(2),
                                         sizeBelowEight(3), sizeBelowEight(4), sizeBelowEight(5),
                                         sizeBelowEight(6), sizeBelowEight(7)));

// Files beyond 2 GiB: a movie there is read in place after moving the
// stream to it, when the stream can go there.
struct FarMovie {
  int64_t offset;  // of the far movie
  bool farResets;
  bool largeMdat;  // a 64-bit size for the media data before it
};

class BeyondTwoGiB : public testing::TestWithParam<FarMovie> {};

TEST_P(BeyondTwoGiB, MovieIsReadInPlaceOnlyWhenTheStreamCanGoThere) {
  const FarMovie& p = GetParam();
  const Bytes head = soundMovie();
  const Bytes far = movie({videoTrack()}, {}, 1000, 5000);
  const uint64_t mdatSize = static_cast<uint64_t>(p.offset) - head.size();
  const Bytes mdatHeader = p.largeMdat ? be32(1) + "mdat" + be64(mdatSize)
                                       : be32(static_cast<uint32_t>(mdatSize)) + "mdat";
  SparseStream in(p.offset + static_cast<int64_t>(far.size()),
                  p.farResets ? SparseStream::Anywhere : SparseStream::UpToFurthest);
  in.place(0, head + mdatHeader);
  in.place(p.offset, far);
  const Log farLog = {i32("TODO_video.duration", 5), i32("media.duration", 10),
                      i32("image.width", 320),       i32("image.height", 240),
                      str("av.video_codec", "avc1"), mime("video/quicktime")};
  EXPECT_EQ(Harness().run(&in), p.farResets ? soundMovieLog() + farLog : soundMovieLog());
}

constexpr int64_t kGiB = int64_t{1} << 30;

INSTANTIATE_TEST_SUITE_P(
    Intake, BeyondTwoGiB,
    testing::Values(FarMovie{3 * kGiB, true, false}, FarMovie{3 * kGiB, false, false},
                    FarMovie{2 * kGiB, true, false}, FarMovie{2 * kGiB, false, false},
                    FarMovie{5 * kGiB, true, true}, FarMovie{5 * kGiB, false, true}));

}  // namespace
}  // namespace mp4test
