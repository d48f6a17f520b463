#include "ffmpeg/path.h"

#include "ffmpeg/ffmpeg_decoder.h"
#include "ffmpeg/ffmpeg_library.h"

namespace ffmpeg {

namespace {

class CPath final : public kolm::IDecodePath {
 public:
  CPath(std::unique_ptr<CFFmpegDecoder> decoder, kolm::IAudioSource* sound, std::string soundProblem)
      : decoder_(std::move(decoder)), sound_(sound), soundProblem_(std::move(soundProblem)) {}

  const char* name() const override { return "ffmpeg"; }
  std::string codec() const override { return decoder_->codecName(); }
  kolm::VideoFormat videoFormat() const override {
    kolm::VideoFormat format;
    format.width = decoder_->pictureWidth();
    format.height = decoder_->pictureHeight();
    format.rateNumerator = decoder_->rateNumerator();
    format.rateDenominator = decoder_->rateDenominator();
    decoder_->pixelAspect(&format.pixelAspectNumerator, &format.pixelAspectDenominator);
    return format;
  }
  std::int64_t duration() const override { return decoder_->duration(); }
  bool videoStep() override { return decoder_->decodeAndDeliver(); }
  std::int64_t picturesDecoded() const override { return decoder_->frameCount; }
  kolm::IAudioSource* sound() override { return sound_; }
  std::string soundProblem() const override { return soundProblem_; }
  void setPresentPictures(bool present) override { decoder_->deliverPictures = present; }
  std::string stopReason() const override { return decoder_->stopReason(); }
  bool canSeek() const override { return decoder_->canSeek(); }
  bool seek(std::int64_t time) override { return decoder_->seek(time); }
  std::vector<std::string> notes() const override {
    if (decoder_->damagedPackets() == 0) return {};
    return {std::to_string(decoder_->damagedPackets()) + " damaged packets skipped"};
  }

 private:
  std::unique_ptr<CFFmpegDecoder> decoder_;
  kolm::IAudioSource* sound_;  // owned by the decoder
  std::string soundProblem_;
};

}  // namespace

std::unique_ptr<kolm::IDecodePath> openPath(const kolm::DecodeRequest& request, std::string* refusal) {
  // FFmpeg comes last: a file it is asked about is one no other path took,
  // and the user is told that first, then that FFmpeg, which might take it,
  // is missing.
  CLibraryUse libraries;
  std::string missing;
  if (!libraries.acquire(&missing)) {
    *refusal = "not a file zarvel can play without FFmpeg, and " + missing;
    return nullptr;
  }
  auto decoder = std::make_unique<CFFmpegDecoder>(request.video, request.fileName);
  if (!decoder->openVideoPath()) {
    *refusal = decoder->lastError();
    return nullptr;
  }
  std::string problem;
  kolm::IAudioSource* sound = decoder->openSound(request.audio, &problem);
  return std::make_unique<CPath>(std::move(decoder), sound, std::move(problem));
}

}  // namespace ffmpeg
