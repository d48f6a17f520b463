// The sound back ends of the POSIX build.
#include "audio/sound_backends.h"

namespace kolm {

const std::vector<SoundBackend>& soundBackends() {
  static const std::vector<SoundBackend> table{{"sdl", &createSdlSoundDevice}, {"null", &createNullSoundDevice}};
  return table;
}

}  // namespace kolm
