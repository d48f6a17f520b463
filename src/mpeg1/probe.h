#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kolm/audio_downstream.h"
#include "kolm/stream.h"
#include "mpeg1/audio_decoder.h"
#include "mpeg1/stream_reader.h"
#include "mpeg1/video_decoder.h"

namespace mpeg1 {

// The MPEG-1 path for one file: the stream reader and a started decoder.
struct Mpeg1Source {
  std::unique_ptr<CMpegStreamReader> streamReader;
  std::unique_ptr<CMpeg1VideoDecoder> decoder;
  CMpegPayloadReader* payload = nullptr;  // the decoder's, owned by the stream reader
  // The first picture's PTS, time 0 of a system stream; -1 without one.
  std::int64_t timeBase = -1;
};

// The word buffer the decode path gives the decoder, in bytes.
constexpr int decoderBufferLength = 1025;

// Probes the stream as an MPEG-1 system or video stream and starts a decoder
// that delivers to sink (which sizes its pool), with the given routines (the
// processor's best when null). Null when the path refuses the file.
std::unique_ptr<Mpeg1Source> openMpeg1(kolm::CStream* stream, kolm::IVideoDownstream* sink,
                                       const Kernels* kernels = nullptr);

// The sound of a system stream: its first audio stream, opened on a stream of
// its own and delivering to sink. Null for a silent file (and an elementary
// stream); null with *problem set when the sound cannot be decoded.
std::unique_ptr<CMpegAudioDecoder> openMpeg1Sound(const Mpeg1Source& source, kolm::CStream* stream,
                                                  kolm::IAudioDownstream* sink, std::string* problem);

}  // namespace mpeg1
