#include "mpeg1/probe.h"

namespace mpeg1 {

std::unique_ptr<Mpeg1Source> openMpeg1(kolm::CStream* stream, kolm::IVideoDownstream* sink) {
  auto source = std::make_unique<Mpeg1Source>();
  source->streamReader = std::make_unique<CMpegStreamReader>(stream);
  if (!source->streamReader->detectFormat()) return nullptr;
  CMpegPayloadReader* payload = source->streamReader->openVideoStream(0);
  if (!payload) return nullptr;
  source->decoder = std::make_unique<CMpeg1VideoDecoder>(payload, sink, decoderBufferLength);
  if (!source->decoder->start()) return nullptr;
  return source;
}

}  // namespace mpeg1
