# Checks that every include of the sources runs down the layers.
#   cmake -DROOT=<source tree> -P tools/check-layers.cmake
# A file may include its own folder's headers and those of the folders its
# layer lists below; nothing may climb out of a folder with "..", and the
# codec libraries' headers stay inside the path that uses them. Prints every
# wrong include and fails when there is one. The build enforces the same
# table through include folders (src/CMakeLists.txt); this also catches what
# a build would let through (a relative climb, a header no target compiles).

cmake_minimum_required(VERSION 3.21)

# Layers, from the ground up: what each may include besides itself.
set(below_kolm "")
set(below_video kolm)
set(below_audio kolm)
set(below_mpeg1 kolm)
set(below_ogg kolm)
set(below_ffmpeg kolm)
set(below_playback kolm video audio mpeg1 ogg ffmpeg)
set(below_app kolm video audio playback)
# Above the program: the tools, the fuzz targets and the benchmarks.
set(below_tools kolm playback mpeg1)
set(below_fuzz kolm mpeg1 ogg)
set(below_bench mpeg1)
set(layers kolm video audio mpeg1 ogg ffmpeg playback app)

# Library headers that belong to one path alone.
set(library_theora ogg)
set(library_vorbis ogg)
set(library_ogg ogg)
set(library_mpg123 mpeg1)
set(library_libavformat ffmpeg)
set(library_libavcodec ffmpeg)
set(library_libavutil ffmpeg)
set(library_libswscale ffmpeg)
set(library_libswresample ffmpeg)

if(NOT ROOT)
  message(FATAL_ERROR "usage: cmake -DROOT=<source tree> -P check-layers.cmake")
endif()

file(GLOB_RECURSE sources RELATIVE ${ROOT}
     ${ROOT}/src/*.h ${ROOT}/src/*.cpp ${ROOT}/src/*.inc
     ${ROOT}/tools/*.h ${ROOT}/tools/*.cpp ${ROOT}/fuzz/*.cpp ${ROOT}/bench/*.cpp)
set(faults 0)
set(checked 0)
foreach(source ${sources})
  string(REPLACE "/" ";" parts ${source})
  list(GET parts 0 top)
  if(top STREQUAL "src")
    list(GET parts 1 layer)
  else()
    set(layer ${top})
  endif()
  if(NOT DEFINED below_${layer})
    message("${source}: in no layer (add its folder to tools/check-layers.cmake)")
    math(EXPR faults "${faults} + 1")
    continue()
  endif()
  file(STRINGS ${ROOT}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  foreach(line ${includes})
    math(EXPR checked "${checked} + 1")
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]*)[\">].*$" "\\1" header "${line}")
    set(wrong "")
    if(header MATCHES "(^|/)\\.\\.(/|$)")
      set(wrong "climbs out of its folder")
    elseif(line MATCHES "\"" AND header MATCHES "/")
      string(REGEX REPLACE "/.*$" "" folder "${header}")
      if(NOT folder STREQUAL layer AND folder IN_LIST layers AND NOT folder IN_LIST below_${layer})
        set(wrong "${layer} may not include ${folder}")
      endif()
    elseif(line MATCHES "<" AND header MATCHES "/")
      string(REGEX REPLACE "/.*$" "" library "${header}")
      if(DEFINED library_${library} AND NOT layer STREQUAL library_${library})
        set(wrong "${library} belongs to ${library_${library}}")
      endif()
    elseif(header STREQUAL "mpg123.h" AND NOT layer STREQUAL "mpeg1")
      set(wrong "mpg123 belongs to mpeg1")
    endif()
    if(wrong)
      message("${source}: #include ${header}: ${wrong}")
      math(EXPR faults "${faults} + 1")
    endif()
  endforeach()
endforeach()
list(LENGTH sources files)
if(faults GREATER 0)
  message(FATAL_ERROR "${faults} includes run against the layers")
endif()
message("${checked} includes of ${files} files run down the layers")
