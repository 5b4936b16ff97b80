#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "boxes.h"
#include "recording.h"

namespace mp4test {
namespace {

using Strigi::FieldRegister;

TEST(FieldRegistry, DeclaresThirtyThreeFieldsInTableOrder) {
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
  FieldRegister reg;
  Mp4ThroughAnalyzerFactory().registerFields(reg);
  std::string declared;
  for (const FieldRegister::Registration& r : reg.registrations()) {
    declared += (declared.empty() ? "" : ", ") + r.key + " " + r.type;
    EXPECT_EQ(r.maxOccurs, 1) << r.key;
    EXPECT_EQ(r.parent, nullptr) << r.key;
  }
  EXPECT_EQ(declared, expected);
  EXPECT_EQ(reg.fields().size(), 33u);
}

TEST(FieldRegistry, SecondRegistrationReplacesTheHandles) {
  Harness harness;  // registered into its own register first
  FieldRegister second;
  Mp4ThroughAnalyzerFactory().registerFields(second);
  const Log log = harness.run(box("moov", Bytes()));
  ASSERT_EQ(log, Log{str("content.mime_type", "video/quicktime")});
  EXPECT_EQ(log[0].field, second.fields().at("content.mime_type"));

  // Registering again into the same register gives that register's handles.
  harness.factory().registerFields(harness.fieldRegister());
  EXPECT_EQ(harness.run(box("moov", Bytes()))[0].field,
            harness.fieldRegister().fields().at("content.mime_type"));
}

TEST(PluginEntry, ThroughListHasOneNewFactoryPerCallAndTheOthersAreEmpty) {
  auto* plugin = strigiAnalyzerFactory();
  auto* other = strigiAnalyzerFactory();
  EXPECT_NE(plugin, other);
  deleteStrigiAnalyzerFactory(other);

  const auto first = plugin->streamThroughAnalyzerFactories();
  const auto second = plugin->streamThroughAnalyzerFactories();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(first.front(), second.front());
  EXPECT_TRUE(plugin->streamEndAnalyzerFactories().empty());
  EXPECT_TRUE(plugin->streamSaxAnalyzerFactories().empty());
  EXPECT_TRUE(plugin->streamLineAnalyzerFactories().empty());
  EXPECT_TRUE(plugin->streamEventAnalyzerFactories().empty());
  deleteStrigiAnalyzerFactory(plugin);

  // The factories outlive the plug-in object that made them.
  for (Strigi::StreamThroughAnalyzerFactory* factory : {first.front(), second.front()}) {
    EXPECT_STREQ(factory->name(), "Mp4ThroughAnalyzer");
    std::unique_ptr<Strigi::StreamThroughAnalyzer> analyzer(factory->newInstance());
    EXPECT_TRUE(analyzer->isReadyWithStream());
    delete factory;
  }
  deleteStrigiAnalyzerFactory(nullptr);
}

}  // namespace
}  // namespace mp4test
