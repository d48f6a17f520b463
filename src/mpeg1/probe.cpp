#include "mpeg1/probe.h"

namespace mpeg1 {

std::unique_ptr<Mpeg1Source> openMpeg1(kolm::CStream* stream, kolm::IVideoDownstream* sink,
                                       const Kernels* kernels) {
  auto source = std::make_unique<Mpeg1Source>();
  source->streamReader = std::make_unique<CMpegStreamReader>(stream);
  if (!source->streamReader->detectFormat()) return nullptr;
  CMpegPayloadReader* payload = source->streamReader->openVideoStream(0);
  if (!payload) return nullptr;
  source->payload = payload;
  source->decoder = std::make_unique<CMpeg1VideoDecoder>(payload, sink, decoderBufferLength, kernels);
  if (!source->decoder->start()) return nullptr;
  // Pictures of a system stream go on its time stamps' time line. The payload
  // reader has its own file position, so this look ahead does not move it.
  std::int64_t pts = -1;
  if (source->streamReader->firstTimeStamp(false, payload->streamNumber(), &pts)) {
    source->timeBase = pts;
    source->decoder->setTimeBase(pts);
  }
  return source;
}

std::unique_ptr<CMpegAudioDecoder> openMpeg1Sound(const Mpeg1Source& source, kolm::CStream* stream,
                                                  kolm::IAudioDownstream* sink, std::string* problem) {
  if (!sink || !stream || !source.streamReader || source.streamReader->elementary()) return nullptr;
  const int number = source.streamReader->firstAudioStream();
  if (number < 0) return nullptr;
  auto decoder = std::make_unique<CMpegAudioDecoder>(sink, std::unique_ptr<kolm::CStream>(stream->reopen()), number);
  if (!decoder->open(source.timeBase)) {
    *problem = decoder->problem();
    return nullptr;
  }
  return decoder;
}

}  // namespace mpeg1
