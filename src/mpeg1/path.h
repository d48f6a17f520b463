#pragma once

#include <memory>
#include <string>

#include "kolm/decode_path.h"

namespace mpeg1 {

// The MPEG-1 decode path: a system stream (its pictures through our decoder,
// its first MPEG audio stream through libmpg123) or a bare video stream.
std::unique_ptr<kolm::IDecodePath> openPath(const kolm::DecodeRequest& request, std::string* refusal);

}  // namespace mpeg1
