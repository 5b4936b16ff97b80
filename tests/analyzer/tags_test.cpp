#include <gtest/gtest.h>

#include "boxes.h"
#include "recording.h"

namespace mp4test {
namespace {

// What a file with these items in its tag list reports (no handler, so no
// mime type).
Log tags(const std::vector<Bytes>& items) {
  return Harness().run(ftyp() + box("moov", {udtaTags(items)}));
}

struct ItemCase {
  Bytes type;
  Bytes value;
  Log log;
};

class ItemTable : public testing::TestWithParam<ItemCase> {};

TEST_P(ItemTable, DecodesByItemType) {
  EXPECT_EQ(tags({item(GetParam().type, {data(0, GetParam().value)})}), GetParam().log);
}

ItemCase text(const Bytes& type, const std::string& key) {
  return {type, "Text \xC3\xA4", {str(key, "Text \xC3\xA4")}};
}

ItemCase silent(const Bytes& type) { return {type, "Text", {}}; }

INSTANTIATE_TEST_SUITE_P(
    Tags, ItemTable,
    testing::Values(text("aART", "TODO_audio.albumartist"), text("covr", "content.thumbnail"),
                    text("cprt", "content.copyright"), text("apID", "TODO_content.purchaser"),
                    text("purd", "TODO_content.purchasedate"), text("keyw", "content.keyword"),
                    text("desc", "content.description"), text("purl", "content.links"),
                    text("\251nam", "audio.title"), text("\251ART", "audio.artist"),
                    text("\251wrt", "content.author"), text("\251alb", "audio.album"),
                    text("\251cmt", "content.comment"), text("\251gen", "content.genre"),
                    ItemCase{"gnre", be16(17), {str("content.genre", "(17)")}},
                    text("\251day", "content.creation_time"), text("\251too", "content.generator"),
                    ItemCase{
                        "trkn", be32(5) + be16(12) + be16(0), {str("TODO_trackNumber", "5/12")}},
                    ItemCase{"disk", be32(1) + be16(2), {str("TODO_discNumber", "1/2")}},
                    silent("tmpo"), ItemCase{"rtng", be16(2), {i32("user.rating", 2)}},
                    silent("cpil"), silent("pgap"), silent("\251grp"), silent("----"),
                    silent("cnID"), silent("stik"), silent("atID"), silent("plID"), silent("geID"),
                    silent("sfID"), silent("akID"), silent("ldes"), silent("\251NAM"),
                    silent("\xC2\xA9na")));

TEST(Tags, TextIsPassedOnAsStored) {
  const Bytes utf16("\xFE\xFF\0S\0o\0n\0g", 10);
  EXPECT_EQ(tags({textItem("\251nam", Bytes("Song\0\0  ", 8)), textItem("\251ART", ""),
                  item("\251alb", {data(2, utf16)})}),
            (Log{str("audio.title", Bytes("Song\0\0  ", 8)), str("audio.artist", ""),
                 str("audio.album", utf16)}));
}

TEST(Tags, CoverIsReportedWhole) {
  Bytes cover(5000, '\0');
  for (size_t i = 0; i < cover.size(); i += 3) cover[i] = static_cast<char>(i);
  EXPECT_EQ(tags({item("covr", {data(13, cover)})}), Log{str("content.thumbnail", cover)});
}

TEST(Tags, NumbersAtTheirLimits) {
  EXPECT_EQ(tags({item("trkn", {data(0, be32(5) + be16(0))}),
                  item("disk", {data(0, be16(9) + be16(65535) + be16(65535) + "rest")}),
                  item("gnre", {data(0, be16(0))}), item("gnre", {data(0, be16(65535) + "x")}),
                  item("rtng", {data(21, "\x04")}), item("rtng", {data(21, "\x01\x02\x03")}),
                  item("rtng", {data(21, be16(65535))})}),
            (Log{str("TODO_trackNumber", "5/0"), str("TODO_discNumber", "65535/65535"),
                 str("content.genre", "(0)"), str("content.genre", "(65535)"),
                 i32("user.rating", 4), i32("user.rating", 258), i32("user.rating", 65535)}));
}

struct ShortData {
  Bytes itemType;
  Bytes payload;  // of the data box, type and locale words included
  Log log;
};

class ShortDataPayload : public testing::TestWithParam<ShortData> {};

TEST_P(ShortDataPayload, ReportsNothingUnlessTheValueFits) {
  Harness harness;
  const Log log = harness.call([](Mp4ThroughAnalyzer& a) {
    EXPECT_TRUE(parseExact(a, &Mp4ThroughAnalyzer::parseDataBox, GetParam().payload,
                           "moov.udta.meta.ilst." + GetParam().itemType + ".data", 7));
  });
  EXPECT_EQ(log, GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(
    Tags, ShortDataPayload,
    testing::Values(ShortData{"\251nam", zeros(7), {}}, ShortData{"\251nam", "", {}},
                    ShortData{"\251nam", zeros(8), {str("audio.title", "")}},
                    ShortData{"gnre", zeros(9), {}},
                    ShortData{"gnre", zeros(8) + be16(17), {str("content.genre", "(17)")}},
                    ShortData{"trkn", zeros(8) + be32(5) + "\x01", {}},
                    ShortData{
                        "trkn", zeros(8) + be32(5) + be16(3), {str("TODO_trackNumber", "5/3")}},
                    ShortData{"disk", zeros(13), {}}, ShortData{"rtng", zeros(7), {}},
                    ShortData{"rtng", zeros(8), {}},
                    ShortData{"rtng", zeros(8) + "\x05", {i32("user.rating", 5)}}));

TEST(Tags, OnlyItemsOfTheMovieUserDataListCount) {
  const Bytes items = ilst({textItem("\251nam", "Song")});
  const Bytes metaBox = meta({hdlr("mdir"), items});
  const Bytes nestedData = item("\251nam", {box("\251ART", {data(1, "Deep")})});
  EXPECT_EQ(Harness().run(ftyp() + box("moov", {metaBox})), Log{});
  EXPECT_EQ(Harness().run(ftyp() + metaBox), Log{});
  EXPECT_EQ(Harness().run(ftyp() + box("moov", {box("trak", {box("udta", {metaBox})})})), Log{});
  EXPECT_EQ(
      Harness().run(ftyp() + box("moov", {box("udta", {box("ilst", {textItem("\251nam", "x")})})})),
      Log{});
  EXPECT_EQ(tags({nestedData, box("data", be32(1) + be32(0) + "Bare")}), Log{});
  for (const char* path : {"data", "ilst.data", "\251nam.data"}) {
    Harness harness;
    EXPECT_EQ(harness.call([&](Mp4ThroughAnalyzer& a) {
      parseExact(a, &Mp4ThroughAnalyzer::parseDataBox, zeros(8) + "x", path, 1);
    }),
              Log{})
        << path;
  }
}

TEST(Tags, EveryDataBoxOfAnItemReportsInOrder) {
  EXPECT_EQ(tags({item("\251ART", {data(1, "One"), data(1, "Two")}), textItem("\251gen", "Rock"),
                  item("gnre", {data(0, be16(18))})}),
            (Log{str("audio.artist", "One"), str("audio.artist", "Two"),
                 str("content.genre", "Rock"), str("content.genre", "(18)")}));
}

TEST(Tags, MetaOfVersionOneHidesItsTagsButNotItsSiblings) {
  const Bytes hidden = meta({hdlr("soun"), ilst({textItem("\251nam", "Hidden")})}, 1);
  const Bytes shown = meta({ilst({textItem("\251ART", "Shown")})});
  EXPECT_EQ(
      Harness().run(ftyp() + box("moov", {box("udta", {hidden, shown}), trak(soundTrack())})),
      (Log{str("audio.artist", "Shown"), i32("media.duration", 10), i32("audio.channel_count", 2),
           str("media.sample_format", "16 bit int"), u32("media.sample_rate", 44100),
           str("av.audio_codec", "mp4a"), mime("audio/mp4")}));
}

}  // namespace
}  // namespace mp4test
