#include "mpeg1/path.h"

#include "mpeg1/probe.h"

namespace mpeg1 {

namespace {

class CPath final : public kolm::IDecodePath {
 public:
  CPath(std::unique_ptr<Mpeg1Source> source, std::unique_ptr<CMpegAudioDecoder> sound, std::string soundProblem)
      : source_(std::move(source)), sound_(std::move(sound)), soundProblem_(std::move(soundProblem)) {}
  const char* name() const override { return "mpeg1"; }
  kolm::VideoFormat videoFormat() const override {
    const CMpeg1VideoDecoder& decoder = *source_->decoder;
    return {static_cast<int>(decoder.horizontalSize), static_cast<int>(decoder.verticalSize), decoder.frameRateNum(),
            decoder.frameRateDen()};
  }
  bool videoStep() override { return source_->decoder->step(); }
  std::int64_t picturesDecoded() const override { return source_->decoder->picturesDelivered(); }
  kolm::IAudioSource* sound() override { return sound_.get(); }
  std::string soundProblem() const override { return soundProblem_; }
  std::string stopReason() const override {
    // A stream without a sequence end code is common and loses nothing.
    const std::string& error = source_->decoder->lastError();
    return error == "Improper or missing sequence end code." ? std::string() : error;
  }

 private:
  std::unique_ptr<Mpeg1Source> source_;  // its decoder goes before the reader it reads
  std::unique_ptr<CMpegAudioDecoder> sound_;  // goes first: it reads a stream of its own
  std::string soundProblem_;
};

}  // namespace

std::unique_ptr<kolm::IDecodePath> openPath(const kolm::DecodeRequest& request, std::string*) {
  const Kernels* kernels = nullptr;
  SimdLevel level;
  if (request.simd && simdLevelFromName(request.simd, &level)) kernels = &kernelsFor(level);
  auto source = openMpeg1(request.stream, request.video, kernels);
  if (!source) return nullptr;
  std::string problem;
  auto sound = openMpeg1Sound(*source, request.stream, request.audio, &problem);
  return std::make_unique<CPath>(std::move(source), std::move(sound), std::move(problem));
}

}  // namespace mpeg1
