// Movies and expectations shared by the analyzer's tests.
#ifndef MP4TEST_ANALYZER_COMMON_H
#define MP4TEST_ANALYZER_COMMON_H

#include "boxes.h"
#include "recording.h"

namespace mp4test {

inline Track soundTrack() {
  return {"soun", 44100, 441000, stsd({audioEntry("mp4a", 2, 16, 44100u << 16)})};
}

inline Track videoTrack() { return {"vide", 600, 6000, stsd({videoEntry("avc1", 320, 240)})}; }

// A movie of 10 s with one sound track, and what it reports.
inline Bytes soundMovie() { return movie({soundTrack()}, {}, 1000, 10000); }

inline Log soundMovieLog() {
  return {i32("TODO_video.duration", 10),  i32("media.duration", 10),
          i32("audio.channel_count", 2),   str("media.sample_format", "16 bit int"),
          u32("media.sample_rate", 44100), str("av.audio_codec", "mp4a")};
}

inline Report mime(const std::string& type) { return str("content.mime_type", type); }

inline Log operator+(Log a, const Log& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace mp4test

#endif
