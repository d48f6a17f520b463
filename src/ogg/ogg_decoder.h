#pragma once

#include <theora/theoradec.h>
#include <vorbis/codec.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>

#include "kolm/audio_format.h"
#include "kolm/audio_source.h"
#include "ogg/ogg_stream.h"

class CSample;
class CSampleQueue;
class CAudioSample;
class CAudioSampleQueue;
namespace kolm {
class CStream;
class IVideoDownstream;
class IAudioDownstream;
}  // namespace kolm

namespace ogg {

// A header packet that the codec rejects after its stream was accepted. The
// text is UTF-8; front ends convert it for display.
class CHeaderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

extern const char* const theoraHeaderError;
extern const char* const vorbisHeaderError;

// Where the planes of the picture being written lie: Y, then V (Cr), then U
// (Cb), the chroma planes half the size in both directions (YV12).
struct PlaneTable {
  std::uint8_t* address[3] = {nullptr, nullptr, nullptr};
  int pitch[3] = {0, 0, 0};
  int width = 0;
  int height = 0;
};

// The visible picture inside the coded frame, offsets from the top left.
struct PictureRegion {
  int x = 0, y = 0, width = 0, height = 0;
};

// Copies the rows of the visible picture that lie in one decoded stripe (luma
// fragment rows yFragStart to yFragEnd - 1) into a YV12 picture. 4:2:2 and
// 4:4:4 chroma are averaged down to 4:2:0. Nothing is read outside the source
// planes or written outside the target. A target row whose source rows span
// two stripes is written with the upper stripe: the library decodes frames
// from the bottom up, so the lower one is complete by then.
void copyStripe(const th_img_plane* planes, const PictureRegion& region, const PlaneTable& target, int yFragStart,
                int yFragEnd);

// Float PCM to 16-bit: 1.0 gives 32767, -1.0 gives -32767, beyond saturates.
std::int16_t pcm16(float value);
// Float PCM to unsigned 8-bit with 0x80 as silence.
std::uint8_t pcm8(float value);
// True when convertPcm can write this format.
bool canConvertPcm(int sourceChannels, int outChannels, int bits);
// Converts `frames` frames of planar float channels in Vorbis order into
// interleaved samples of `bits` (8 or 16) bits with `outChannels` channels.
// One channel is played on both sides; more than two are mixed down to stereo
// (centre and surrounds at -3 dB, no LFE, scaled so that nothing clips); a
// mono output gets the mean of the stereo mix.
void convertPcm(float* const* pcm, int sourceChannels, int frames, int outChannels, int bits, std::uint8_t* out);
// The weights of each source channel in the left and right mix.
void downmixWeights(int sourceChannels, double* left, double* right);

// Position of the next sound frame after n of the count frames on offer were
// taken: from the synthesis granule position when it is known, else counted on.
std::int64_t nextAudioPosition(std::int64_t position, std::int64_t granule, int count, int n);

// A frame index to 100 ns units at the given frame rate; saturates.
std::int64_t frameTime(std::int64_t frame, std::uint32_t rateNum, std::uint32_t rateDen);

}  // namespace ogg

// The Ogg Theora/Vorbis path: turns Theora packets into pictures for the video
// sink and Vorbis packets into PCM blocks for the audio sink. videoStep() runs
// on the video decode thread and audioStep() on the audio decode thread; each
// side reads the file through its own stream and they share no state. open()
// and the destructor run while neither step runs. The sinks and the stream
// must outlive the decoder; a picture or block still held is given back to its
// pool when the decoder is deleted.
class COggDecoder final : public kolm::IAudioSource {
 public:
  COggDecoder(kolm::IVideoDownstream* videoSink, kolm::IAudioDownstream* audioSink, kolm::CStream* stream);
  ~COggDecoder() override;
  COggDecoder(const COggDecoder&) = delete;
  COggDecoder& operator=(const COggDecoder&) = delete;

  // Reads the stream headers and sizes the pools. True when the file holds a
  // Theora stream we can show; a file without one leaves both pools untouched.
  // Throws ogg::CHeaderError for a header packet the codec rejects.
  bool open();
  // Decodes up to the next picture and delivers it: false at the end of the stream.
  bool videoStep();
  // Fills and delivers one sound block; the last, partly filled block of the
  // stream goes out padded with silence. False at the end of the stream.
  bool audioStep() override;
  // Post-processing (deblocking) is level 1 for playback; off only for
  // comparisons with other decoders.
  void setPostprocess(bool on);
  // The pictures' length in 100 ns units, from the last granule position of
  // the Theora stream less the first picture's time; -1 where unknown.
  std::int64_t duration();
  // True when the Theora stream has granule positions to seek by.
  bool canSeek();
  // Moves both sides to `time` (100 ns units): pictures from a keyframe at or
  // before it, sound from frame round(time x rate). Neither step may run.
  bool seek(std::int64_t time);
  // The shape of one stored pixel, reduced; 1:1 where the stream does not say.
  void pixelAspect(int* numerator, int* denominator) const;

  // Settings, written before the decode threads start.
  bool presentPictures = true;  // false: timing mode, pictures go straight back to the pool
  bool audioPacing = true;      // a 100 ms pause after each block; off to decode as fast as possible
  // How the pause is taken; the audio decode thread waits on its stop request,
  // so a stop never waits out a pause. A plain sleep when empty.
  std::function<void(int milliseconds)> pacingWait;
  // Coded frames larger than this many pixels are refused: the codec would
  // allocate several frames of that size.
  std::uint64_t frameAreaLimit = std::uint64_t{8192} * 8192;

  th_info theoraInfo;
  th_comment theoraComment;
  vorbis_info vorbisInfo;
  vorbis_comment vorbisComment;
  bool theoraActive = false;
  bool vorbisActive = false;  // the file has sound
  int theoraHeaders = 0;
  int vorbisHeaders = 0;
  int headerResult = 0;
  std::int64_t frameTime = 0;      // of the last picture, 100 ns units from the start of the stream
  std::int64_t audioPosition = 0;  // in frames, of the next sound frame to be written
  std::uint32_t decodeMilliseconds = 0;  // spent decoding pictures; wraps
  int audioCount = 0;
  AudioFormat audioFormat;  // as the sound pool agreed it
  std::int64_t picturesDelivered = 0;
  std::int64_t audioBlocksDelivered = 0;

  int pictureWidth() const { return static_cast<int>(theoraInfo.pic_width); }
  int pictureHeight() const { return static_cast<int>(theoraInfo.pic_height); }

 private:
  void parseHeaders();
  static void stripeThunk(void* context, th_ycbcr_buffer planes, int yFragStart, int yFragEnd);
  void onStripe(th_ycbcr_buffer planes, int yFragStart, int yFragEnd);
  bool beginPicture();
  bool repeatPicture();
  void deliverPicture(std::int64_t time);
  void dropPicture();
  void deliverAudio();
  // Reads the granule positions that bound the file, once.
  void measure();
  std::int64_t pictureIndex(std::int64_t granule) const;
  // The picture on screen at `time`.
  std::int64_t pictureAt(std::int64_t time) const;
  void seekVideo(std::int64_t time);
  void seekAudio(std::int64_t time);
  // After a seek: false for a packet dropped before the first keyframe.
  bool takeAfterSeek(ogg_packet* packet);
  // After a seek: drops the sound frames before the target; true when it dropped some.
  bool dropBeforeTarget(int count);

  bool opened_ = false;
  bool measured_ = false;
  std::int64_t firstPicture_ = 0;   // index of the file's first picture
  std::int64_t lastPicture_ = -1;   // index of its last one; -1: unknown
  std::int64_t soundLength_ = -1;   // last granule position of the Vorbis stream; -1: unknown
  // The video side after a seek: packets are dropped up to the first keyframe.
  bool videoSeeking_ = false;
  bool videoAwaitGranule_ = false;     // the packets up to the first with a granule position go first
  std::int64_t seekNextPicture_ = -1;  // index of the next packet's picture; -1: unknown
  bool videoPastEnd_ = false;
  // The sound side after a seek.
  bool audioAwaitGranule_ = false;  // packets before the first with a granule position are dropped
  std::int64_t audioTarget_ = -1;   // frames before it are decoded and dropped
  bool audioSeeked_ = false;
  th_setup_info* theoraSetup_ = nullptr;
  th_dec_ctx* theoraDecoder_ = nullptr;
  bool postprocess_ = true;
  ogg::PictureRegion region_;
  CSample* currentPicture_ = nullptr;
  ogg::PlaneTable planeTable_;
  std::uint64_t pictureWaitMs_ = 0;  // of the packet being decoded, spent waiting for a free picture
  bool pictureReady_ = false;
  bool pictureLocked_ = false;
  bool lastPictureShown_ = false;  // there is a picture for a duplicate frame to repeat

  vorbis_dsp_state vorbisDsp_;
  vorbis_block vorbisBlock_;
  bool vorbisReady_ = false;
  bool audioEnded_ = false;

  kolm::CStream* mainStream_;
  std::unique_ptr<kolm::CStream> audioSource_;
  kolm::IVideoDownstream* videoSink_;
  CSampleQueue* videoPool_ = nullptr;
  kolm::IAudioDownstream* audioSink_;
  CAudioSampleQueue* audioPool_ = nullptr;
  CAudioSample* currentAudio_ = nullptr;
  ogg::CVideoStream videoStream_;
  ogg::CAudioStream audioStream_;
};
