#pragma once

#include <memory>
#include <string>

#include "kolm/decode_path.h"

namespace ogg {

// The Ogg decode path: the first Theora stream of an Ogg file, with its first
// Vorbis stream as the sound. Throws ogg::CHeaderError for a header packet
// the codec rejects.
std::unique_ptr<kolm::IDecodePath> openPath(const kolm::DecodeRequest& request, std::string* refusal);

}  // namespace ogg
