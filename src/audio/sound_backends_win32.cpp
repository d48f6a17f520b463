// The sound back ends of the Windows build (SDL is not part of it).
#include "audio/sound_backends.h"

namespace kolm {

const std::vector<SoundBackend>& soundBackends() {
  static const std::vector<SoundBackend> table{{"dsound", &createDirectSoundDevice}, {"null", &createNullSoundDevice}};
  return table;
}

}  // namespace kolm
