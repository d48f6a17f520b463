#include "playback/probe.h"

#include <exception>

#include "ffmpeg/path.h"
#include "kolm/hresult_exception.h"
#include "mpeg1/path.h"
#include "ogg/path.h"

namespace kolm {

namespace {

// The probing order; a new path is one more row.
const struct {
  const char* name;
  OpenDecodePath open;
} paths[] = {{"mpeg1", mpeg1::openPath}, {"ogg", ogg::openPath}, {"ffmpeg", ffmpeg::openPath}};

}  // namespace

bool isDecodePath(const std::string& name) {
  for (const auto& path : paths)
    if (name == path.name) return true;
  return false;
}

std::unique_ptr<IDecodePath> probeFile(const DecodeRequest& request, const char* only, std::string* refusal) {
  refusal->clear();
  for (const auto& candidate : paths) {
    if (only && *only && std::string(only) != candidate.name) continue;
    std::string why;
    try {
      if (auto path = candidate.open(request, &why)) {
        refusal->clear();
        return path;
      }
    } catch (const std::exception& error) {
      // A header the codec rejects, a read error, a presenter that cannot
      // make surfaces: this path refuses the file, the next may take it.
      why = error.what();
    } catch (const CHResultException& error) {
      // A presenter or sound device of the platform (Direct3D, DirectSound).
      why = error.what();
    } catch (...) {
      why = "unexpected error";
    }
    if (!why.empty()) *refusal = why;
  }
  return nullptr;
}

}  // namespace kolm
