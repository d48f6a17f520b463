#pragma once

// FFmpeg's libraries, loaded at run time by name and only when a file needs
// them, so that nothing of FFmpeg is linked into the program and a machine
// without it still plays everything else. The headers are those we build
// against; the libraries loaded are the ones with the same major versions, so
// the records' layouts agree.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <string>

namespace ffmpeg {

// Every entry point the FFmpeg path calls. Filled while the libraries are
// loaded, null otherwise; the sound entries stay null when libswresample (or
// one of them) is missing.
struct Api {
#define ZARVEL_FFMPEG_ENTRY(library, name) decltype(&::name) name = nullptr;
#define ZARVEL_FFMPEG_SOUND_ENTRY(library, name) decltype(&::name) name = nullptr;
#include "ffmpeg/ffmpeg_entries.inc"
#undef ZARVEL_FFMPEG_SOUND_ENTRY
#undef ZARVEL_FFMPEG_ENTRY
  // Why the sound entries are missing; "" when they are all there.
  std::string soundMissing;
};

// swresample comes last: it is the one library the pictures can do without.
enum Library { avutil, avcodec, avformat, swscale, swresample, libraryCount };

// The file name each library is loaded by (soname on Linux, DLL name on Windows).
const char* libraryName(Library library);
// Tests: load a library by another name (a name that does not exist plays a
// machine without FFmpeg). Null restores the default. Takes effect at the next load.
void overrideLibraryName(Library library, const char* name);

// One use of the libraries: loads them (and looks up every entry point) on
// the first use. Once loaded they stay for the process's life: unloading
// FFmpeg and the libraries it pulls in (hardware video, codecs) leaks what
// they allocate at load on every cycle, and the next file would pay the load
// again. A failed load leaves nothing loaded and says why.
class CLibraryUse {
 public:
  CLibraryUse() = default;
  ~CLibraryUse();
  CLibraryUse(const CLibraryUse&) = delete;
  CLibraryUse& operator=(const CLibraryUse&) = delete;

  // True when every library and entry point is there. Idempotent.
  bool acquire(std::string* why);
  // The entry points; valid only while acquire() has succeeded.
  const Api& api() const;

 private:
  bool held_ = false;
};

// AVERROR codes as text.
std::string errorText(const Api& api, int code);

}  // namespace ffmpeg
