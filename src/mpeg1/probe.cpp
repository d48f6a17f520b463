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
  // Pictures of a system stream go on its time stamps' time line. The payload
  // reader has its own file position, so this look ahead does not move it.
  std::int64_t pts = -1;
  if (source->streamReader->firstTimeStamp(false, payload->streamNumber(), &pts)) {
    source->timeBase = pts;
    source->decoder->setTimeBase(pts);
  }
  return source;
}

}  // namespace mpeg1
