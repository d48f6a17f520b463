#include "kolm/decode/probe.h"

#include <exception>

#include "kolm/hresult_exception.h"
#include "mpeg1/probe.h"

namespace kolm {

const char* pathName(DecodePath path) {
  switch (path) {
    case DecodePath::mpeg1: return "mpeg1";
    case DecodePath::ogg: return "ogg";
    case DecodePath::ffmpeg: return "ffmpeg";
    default: return "";
  }
}

void ProbedDecoders::reset() {
  audio = nullptr;
  soundProblem.clear();
  mpegAudio.reset();
  mpegDecoder.reset();
  mpegReader.reset();
  oggDecoder.reset();
  ffmpegDecoder.reset();
  path = DecodePath::none;
}

namespace {

bool wanted(const ProbeRequest& request, DecodePath path) {
  return request.only == DecodePath::none || request.only == path;
}

bool tryMpeg1(const ProbeRequest& request, ProbedDecoders* out) {
  auto source = mpeg1::openMpeg1(request.stream, request.video, request.mpeg1Kernels);
  if (!source) return false;
  out->mpegAudio = mpeg1::openMpeg1Sound(*source, request.stream, request.audio, &out->soundProblem);
  out->audio = out->mpegAudio.get();
  out->mpegReader = std::move(source->streamReader);
  out->mpegDecoder = std::move(source->decoder);
  return true;
}

bool tryOgg(const ProbeRequest& request, ProbedDecoders* out) {
  auto decoder = std::make_unique<COggDecoder>(request.video, request.audio, request.stream);
  decoder->setPostprocess(request.oggPostprocess);
  decoder->audioPacing = request.oggAudioPacing;
  if (!decoder->open()) return false;
  if (decoder->vorbisActive) out->audio = decoder.get();
  out->oggDecoder = std::move(decoder);
  return true;
}

bool tryFFmpeg(const ProbeRequest& request, ProbedDecoders* out) {
  auto decoder = std::make_unique<CFFmpegDecoder>(request.video, request.stream, request.fileName);
  if (!decoder->openVideoPath()) {
    out->refusal = decoder->lastError();
    return false;
  }
  out->audio = decoder->openSound(request.audio, &out->soundProblem);
  out->ffmpegDecoder = std::move(decoder);
  return true;
}

}  // namespace

bool probeFile(const ProbeRequest& request, ProbedDecoders* out) {
  out->reset();
  out->refusal.clear();
  using Attempt = bool (*)(const ProbeRequest&, ProbedDecoders*);
  const struct {
    DecodePath path;
    Attempt attempt;
  } paths[] = {{DecodePath::mpeg1, tryMpeg1}, {DecodePath::ogg, tryOgg}, {DecodePath::ffmpeg, tryFFmpeg}};
  for (const auto& candidate : paths) {
    if (!wanted(request, candidate.path)) continue;
    bool accepted = false;
    try {
      accepted = candidate.attempt(request, out);
    } catch (const std::exception& error) {
      // A header the codec rejects, a read error, a presenter that cannot
      // make surfaces: this path refuses the file, the next may take it.
      out->refusal = error.what();
    } catch (const CHResultException& error) {
      // A presenter or sound device of the platform (Direct3D, DirectSound).
      out->refusal = error.what();
    } catch (...) {
      out->refusal = "unexpected error";
    }
    if (accepted) {
      out->path = candidate.path;
      out->refusal.clear();
      return true;
    }
    out->reset();
  }
  return false;
}

}  // namespace kolm
