#include "ffmpeg/ffmpeg_library.h"

#include "kolm/sys/sys.h"

namespace ffmpeg {
namespace {

#define ZARVEL_STRING2(x) #x
#define ZARVEL_STRING(x) ZARVEL_STRING2(x)
#ifdef _WIN32
#define ZARVEL_LIBRARY(base, major) base "-" ZARVEL_STRING(major) ".dll"
#else
#define ZARVEL_LIBRARY(base, major) "lib" base ".so." ZARVEL_STRING(major)
#endif

// In load order: each library needs the ones before it.
const char* const kDefaultNames[libraryCount] = {
    ZARVEL_LIBRARY("avutil", LIBAVUTIL_VERSION_MAJOR),
    ZARVEL_LIBRARY("avcodec", LIBAVCODEC_VERSION_MAJOR),
    ZARVEL_LIBRARY("avformat", LIBAVFORMAT_VERSION_MAJOR),
    ZARVEL_LIBRARY("swscale", LIBSWSCALE_VERSION_MAJOR),
    ZARVEL_LIBRARY("swresample", LIBSWRESAMPLE_VERSION_MAJOR),
};

struct Loaded {
  kolm::sys::CriticalSection lock;
  const char* names[libraryCount] = {};
  kolm::sys::LibraryHandle handles[libraryCount] = {};
  Api api;
  int uses = 0;
};

Loaded& loaded() {
  static Loaded instance;
  return instance;
}

void unloadAll(Loaded& state) {
  state.api = Api();
  for (int i = libraryCount - 1; i >= 0; --i) {
    if (state.handles[i]) kolm::sys::freeLibrary(state.handles[i]);
    state.handles[i] = nullptr;
  }
}

// Under the state's lock: the converter and the sound entries, all or none
// (a half set must not pass for sound).
void loadSound(Loaded& state) {
  state.api.soundMissing.clear();
  if (!state.handles[swresample]) state.handles[swresample] = kolm::sys::loadLibrary(libraryName(swresample));
  std::string missing;
  if (!state.handles[swresample])
    missing = std::string("FFmpeg's sound converter is not installed (") + libraryName(swresample) + " not found)";
#define ZARVEL_FFMPEG_ENTRY(library, name)
#define ZARVEL_FFMPEG_SOUND_ENTRY(library, name)                                                     \
  state.api.name = state.handles[library]                                                           \
                       ? reinterpret_cast<decltype(&::name)>(kolm::sys::findSymbol(state.handles[library], #name)) \
                       : nullptr;                                                                   \
  if (!state.api.name && missing.empty()) missing = std::string("FFmpeg's ") + libraryName(library) + " has no " #name;
#include "ffmpeg/ffmpeg_entries.inc"
#undef ZARVEL_FFMPEG_SOUND_ENTRY
#undef ZARVEL_FFMPEG_ENTRY
  if (missing.empty()) return;
#define ZARVEL_FFMPEG_ENTRY(library, name)
#define ZARVEL_FFMPEG_SOUND_ENTRY(library, name) state.api.name = nullptr;
#include "ffmpeg/ffmpeg_entries.inc"
#undef ZARVEL_FFMPEG_SOUND_ENTRY
#undef ZARVEL_FFMPEG_ENTRY
  state.api.soundMissing = missing;
}

// Under the state's lock.
bool loadAll(Loaded& state, std::string* why) {
  for (int i = 0; i < swresample; ++i) {
    const char* name = libraryName(static_cast<Library>(i));
    state.handles[i] = kolm::sys::loadLibrary(name);
    if (!state.handles[i]) {
      if (why) *why = std::string("FFmpeg is not installed (") + name + " not found)";
      unloadAll(state);
      return false;
    }
  }
  bool complete = true;
#define ZARVEL_FFMPEG_ENTRY(library, name)                                                           \
  state.api.name = reinterpret_cast<decltype(&::name)>(kolm::sys::findSymbol(state.handles[library], #name)); \
  if (!state.api.name && complete) {                                                                \
    complete = false;                                                                               \
    if (why) *why = std::string("FFmpeg's ") + libraryName(library) + " has no " #name;            \
  }
#define ZARVEL_FFMPEG_SOUND_ENTRY(library, name)
#include "ffmpeg/ffmpeg_entries.inc"
#undef ZARVEL_FFMPEG_SOUND_ENTRY
#undef ZARVEL_FFMPEG_ENTRY
  if (!complete) {
    unloadAll(state);
    return false;
  }
  loadSound(state);
  // The library's own warnings would drown the player's messages; the path
  // reports what matters itself.
  state.api.av_log_set_level(AV_LOG_FATAL);
  return true;
}

}  // namespace

const char* libraryName(Library library) {
  Loaded& state = loaded();
  kolm::sys::Guard guard(state.lock);
  return state.names[library] ? state.names[library] : kDefaultNames[library];
}

void overrideLibraryName(Library library, const char* name) {
  Loaded& state = loaded();
  kolm::sys::Guard guard(state.lock);
  state.names[library] = name;
  // The next use loads by the new name (tests only: see CLibraryUse). The
  // converter alone is swapped without unloading the rest, which would leak
  // what FFmpeg allocates at load.
  if (state.uses != 0 || !state.handles[0]) return;
  if (library == swresample) {
    if (state.handles[swresample]) kolm::sys::freeLibrary(state.handles[swresample]);
    state.handles[swresample] = nullptr;
    loadSound(state);
  } else {
    unloadAll(state);
  }
}

CLibraryUse::~CLibraryUse() {
  if (!held_) return;
  Loaded& state = loaded();
  kolm::sys::Guard guard(state.lock);
  --state.uses;
}

bool CLibraryUse::acquire(std::string* why) {
  if (held_) return true;
  Loaded& state = loaded();
  kolm::sys::Guard guard(state.lock);
  if (!state.handles[0] && !loadAll(state, why)) return false;
  ++state.uses;
  held_ = true;
  return true;
}

const Api& CLibraryUse::api() const { return loaded().api; }

std::string errorText(const Api& api, int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (!api.av_strerror || api.av_strerror(code, text, sizeof text) < 0) return "error " + std::to_string(code);
  return text;
}

}  // namespace ffmpeg
