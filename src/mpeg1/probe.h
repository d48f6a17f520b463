#pragma once

#include <cstdint>
#include <memory>

#include "kolm/stream.h"
#include "mpeg1/stream_reader.h"
#include "mpeg1/video_decoder.h"

namespace mpeg1 {

// The MPEG-1 path for one file: the stream reader and a started decoder.
struct Mpeg1Source {
  std::unique_ptr<CMpegStreamReader> streamReader;
  std::unique_ptr<CMpeg1VideoDecoder> decoder;
  // The first picture's PTS, time 0 of a system stream; -1 without one.
  std::int64_t timeBase = -1;
};

// The word buffer the decode path gives the decoder, in bytes.
constexpr int decoderBufferLength = 1025;

// Probes the stream as an MPEG-1 system or video stream and starts a decoder
// that delivers to sink (which sizes its pool). Null when the path refuses
// the file.
std::unique_ptr<Mpeg1Source> openMpeg1(kolm::CStream* stream, kolm::IVideoDownstream* sink);

}  // namespace mpeg1
