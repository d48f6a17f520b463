#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kolm/audio_downstream.h"
#include "kolm/audio_source.h"
#include "kolm/stream.h"
#include "kolm/video_downstream.h"

namespace kolm {

// What a decode path is given to open a file.
struct DecodeRequest {
  IVideoDownstream* video = nullptr;  // the picture pool is sized through it
  IAudioDownstream* audio = nullptr;  // null: pictures only
  CStream* stream = nullptr;          // the player's byte stream
  const char* fileName = nullptr;     // must outlive the path (a path may open the file by name)
  // Settings that must be made before the headers are read.
  const char* simd = nullptr;  // routines by instruction-set name ("plain", "sse2", "avx2"); null: the best
  bool postprocess = true;     // deblocking where the codec does it; off only for comparisons
  // Playback in real time paces the sound side; off to decode as fast as possible.
  bool realTime = true;
  // How a paced sound side waits between blocks; the audio decode thread
  // waits on its stop request, so a stop never waits a pause out. A plain
  // sleep when empty.
  std::function<void(int milliseconds)> soundPause;
};

// The picture size (the visible picture) and the nominal picture rate.
struct VideoFormat {
  int width = 0;
  int height = 0;
  int rateNumerator = 25;
  int rateDenominator = 1;
  // The shape of one stored pixel (width by height), from the file's own
  // aspect information; 1:1 where it has none. The window shows the picture
  // widened or heightened to this shape.
  int pixelAspectNumerator = 1;
  int pixelAspectDenominator = 1;
};

// One file opened by one decode path: the probe hands this to the decode
// threads and to zarvel-decode, which know nothing else of the path.
//
// Threads: opened and deleted on the controlling thread while neither
// thread runs; videoStep() on the video decode thread, sound()->audioStep()
// on the audio decode thread. The rest before the threads start or after
// they have been joined.
class IDecodePath {
 public:
  virtual ~IDecodePath() = default;

  // "mpeg1", "ogg", "ffmpeg": the name --path and the statistics use.
  virtual const char* name() const = 0;
  // What the path decodes, where it says more than its name ("h264"); "" otherwise.
  virtual std::string codec() const { return ""; }
  virtual VideoFormat videoFormat() const = 0;
  // The file's length in 100 ns units, where the file tells it without being
  // read through; -1 where it does not.
  virtual std::int64_t duration() const { return -1; }
  // Decodes one step (a slice, a packet, a picture) and delivers what it
  // finishes. False once the pictures have ended or can go no further; it
  // is not called again then.
  virtual bool videoStep() = 0;
  // Pictures decoded so far, shown or (timing mode) recycled unseen.
  virtual std::int64_t picturesDecoded() const = 0;
  // The file's sound, owned by the path; null for a file without sound and
  // for one whose sound cannot be decoded (soundProblem() then says why).
  virtual IAudioSource* sound() = 0;
  virtual std::string soundProblem() const { return ""; }
  // Timing mode (false): pictures are decoded and recycled unseen, where
  // the path can do that.
  virtual void setPresentPictures(bool) {}
  // Milliseconds spent in the picture decoder, where the path measures them
  // (the statistics line shows them); false where it does not.
  virtual bool decodeMilliseconds(std::uint32_t*) const { return false; }
  // Why the pictures ended before the data did (damage, a read error); ""
  // after a clean end.
  virtual std::string stopReason() const { return ""; }
  // What the path has to say after decoding, a line each (packets it skipped,
  // the sound's own layout); zarvel-decode prints them.
  virtual std::vector<std::string> notes() const { return {}; }
  // Whether seek() can work on this file (an index or time stamps to go by).
  virtual bool canSeek() const { return false; }
  // Moves pictures and sound to `time` (100 ns units, on the same scale as
  // the pictures' stamps: 0 is the first picture). Afterwards videoStep()
  // decodes from a keyframe at or before `time` and delivers pictures with
  // the stamps a play from the start would give them, except pictures that
  // cannot be decoded whole (those that lost a reference), which it skips;
  // the caller drops every picture that is off the screen by `time` (the
  // path may skip decoding such pictures where they are no reference).
  // The sound's next block starts exactly at frame round(time x rate) with
  // that position, the frames before it decoded and dropped. A time before
  // 0 is 0; one past the end ends both sides as the end of the data does.
  // False where the path cannot seek; it then goes on where it was.
  // Only while neither decode thread runs; it may be called again at once.
  virtual bool seek(std::int64_t) { return false; }
};

// How each path offers itself: the path when it accepts the file; null when
// it does not, with *refusal saying why where it can. May throw for a file
// it cannot read; the probe takes that as a refusal.
using OpenDecodePath = std::unique_ptr<IDecodePath> (*)(const DecodeRequest& request, std::string* refusal);

}  // namespace kolm
