#pragma once

#include <memory>
#include <string>

#include "audio/audio_downstream.h"
#include "ffmpeg/ffmpeg_decoder.h"
#include "kolm/audio_source.h"
#include "kolm/stream.h"
#include "mpeg1/audio_decoder.h"
#include "mpeg1/stream_reader.h"
#include "mpeg1/video_decoder.h"
#include "ogg/ogg_decoder.h"
#include "video/video_downstream.h"

namespace kolm {

// The three decode paths, in the order files are offered to them.
enum class DecodePath { none, mpeg1, ogg, ffmpeg };
const char* pathName(DecodePath path);  // "mpeg1", "ogg", "ffmpeg"; "" for none

struct ProbeRequest {
  IVideoDownstream* video = nullptr;
  IAudioDownstream* audio = nullptr;
  CStream* stream = nullptr;
  const char* fileName = nullptr;  // must outlive the decoders (the FFmpeg path opens it by name)
  DecodePath only = DecodePath::none;  // none: every path in turn; otherwise just that one
  // Ogg settings that must be made before its headers are read.
  const mpeg1::Kernels* mpeg1Kernels = nullptr;  // null: the processor's best
  bool oggPostprocess = true;
  bool oggAudioPacing = true;
};

// The decoders of the path that accepted a file; at most one path's are set.
struct ProbedDecoders {
  DecodePath path = DecodePath::none;
  std::unique_ptr<CMpegStreamReader> mpegReader;
  std::unique_ptr<CMpeg1VideoDecoder> mpegDecoder;
  std::unique_ptr<CMpegAudioDecoder> mpegAudio;  // reads a stream of its own
  std::unique_ptr<COggDecoder> oggDecoder;
  std::unique_ptr<CFFmpegDecoder> ffmpegDecoder;
  // The file's sound, when it has sound the path can decode: one of the
  // decoders above (or an object one of them owns). Null for a silent file.
  IAudioSource* audio = nullptr;
  // Why a file whose path accepted it plays without its sound (a sound stream
  // that cannot be decoded); "" otherwise. Said once to the user.
  std::string soundProblem;
  // Why the file was refused: the last refusal that said something.
  std::string refusal;

  // Deletes the decoders: the MPEG-1 sound, the MPEG-1 decoder before the
  // reader it reads from, then Ogg, then FFmpeg.
  void reset();
};

// Offers the file to MPEG-1, then Ogg, then FFmpeg, and keeps the first that
// accepts it. An error raised while a path is tried refuses that path, and
// probing goes on. The one probing order of the player and of zarvel-decode.
bool probeFile(const ProbeRequest& request, ProbedDecoders* out);

}  // namespace kolm
