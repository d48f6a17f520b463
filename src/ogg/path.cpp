#include "ogg/path.h"

#include <cstdio>

#include "ogg/ogg_decoder.h"

namespace ogg {

namespace {

int clampRate(std::uint32_t value) { return value > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(value); }

class CPath final : public kolm::IDecodePath {
 public:
  explicit CPath(std::unique_ptr<COggDecoder> decoder) : decoder_(std::move(decoder)) {}

  const char* name() const override { return "ogg"; }
  kolm::VideoFormat videoFormat() const override {
    kolm::VideoFormat format{decoder_->pictureWidth(), decoder_->pictureHeight(),
                             clampRate(decoder_->theoraInfo.fps_numerator),
                             clampRate(decoder_->theoraInfo.fps_denominator)};
    decoder_->pixelAspect(&format.pixelAspectNumerator, &format.pixelAspectDenominator);
    return format;
  }
  std::int64_t duration() const override { return decoder_->duration(); }
  bool canSeek() const override { return decoder_->canSeek(); }
  bool seek(std::int64_t time) override { return decoder_->seek(time); }
  bool videoStep() override { return decoder_->videoStep(); }
  std::int64_t picturesDecoded() const override { return decoder_->picturesDelivered; }
  kolm::IAudioSource* sound() override { return decoder_->vorbisActive ? decoder_.get() : nullptr; }
  void setPresentPictures(bool present) override { decoder_->presentPictures = present; }
  bool decodeMilliseconds(std::uint32_t* ms) const override {
    *ms = decoder_->decodeMilliseconds;
    return true;
  }
  std::vector<std::string> notes() const override {
    char line[96];
    std::snprintf(line, sizeof line, "%u ms in the Theora decoder", decoder_->decodeMilliseconds);
    std::vector<std::string> notes{line};
    if (decoder_->vorbisActive) {
      std::snprintf(line, sizeof line, "Vorbis stream of %d channels", decoder_->vorbisInfo.channels);
      notes.push_back(line);
    }
    return notes;
  }

 private:
  std::unique_ptr<COggDecoder> decoder_;
};

}  // namespace

std::unique_ptr<kolm::IDecodePath> openPath(const kolm::DecodeRequest& request, std::string*) {
  auto decoder = std::make_unique<COggDecoder>(request.video, request.audio, request.stream);
  decoder->setPostprocess(request.postprocess);
  decoder->audioPacing = request.realTime;
  decoder->pacingWait = request.soundPause;
  if (!decoder->open()) return nullptr;
  return std::make_unique<CPath>(std::move(decoder));
}

}  // namespace ogg
