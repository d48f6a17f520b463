#pragma once

#include <memory>
#include <string>

#include "kolm/decode_path.h"

namespace kolm {

// Offers the file to each decode path in turn (MPEG-1, then Ogg, then
// FFmpeg) and returns the first that accepts it; null when none does, with
// *refusal the last refusal that said something. `only` names the one path
// to try ("" or null: all). An error raised while a path is tried refuses
// that path, and probing goes on. The one probing order of the player and of
// zarvel-decode.
std::unique_ptr<IDecodePath> probeFile(const DecodeRequest& request, const char* only, std::string* refusal);

// Whether `name` is a decode path's name.
bool isDecodePath(const std::string& name);

}  // namespace kolm
