#pragma once

#include <memory>
#include <string>

#include "kolm/decode_path.h"

namespace ffmpeg {

// The last decode path: any file FFmpeg's libraries (loaded at run time) can
// open, its first video stream with its first sound stream.
std::unique_ptr<kolm::IDecodePath> openPath(const kolm::DecodeRequest& request, std::string* refusal);

}  // namespace ffmpeg
