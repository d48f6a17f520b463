# Cross-compiling the Windows program with mingw-w64 (Debian's
# g++-mingw-w64-x86-64, GCC's win32 thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZARVEL_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZARVEL_MINGW_HOST}-gcc)
set(CMAKE_CXX_COMPILER ${ZARVEL_MINGW_HOST}-g++)
set(CMAKE_RC_COMPILER ${ZARVEL_MINGW_HOST}-windres)
set(CMAKE_AR ${ZARVEL_MINGW_HOST}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ZARVEL_MINGW_HOST}-ranlib CACHE FILEPATH "")

# The codec libraries cross-built by tools/build-windows-deps (the folder it
# prints), searched before the mingw system root.
set(ZARVEL_WINDOWS_DEPS "" CACHE PATH "Prefix of the cross-built codec libraries (tools/build-windows-deps)")
if(NOT ZARVEL_WINDOWS_DEPS)
  execute_process(COMMAND "${CMAKE_CURRENT_LIST_DIR}/../tools/build-windows-deps" --find
                  OUTPUT_VARIABLE _zarvel_deps OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _zarvel_found)
  if(NOT _zarvel_found EQUAL 0)
    message(FATAL_ERROR "The Windows codec libraries are not built yet: run tools/build-windows-deps first "
                        "(or pass -DZARVEL_WINDOWS_DEPS=PREFIX).")
  endif()
  set(ZARVEL_WINDOWS_DEPS "${_zarvel_deps}" CACHE PATH "" FORCE)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZARVEL_WINDOWS_DEPS)
set(CMAKE_FIND_ROOT_PATH ${ZARVEL_WINDOWS_DEPS} /usr/${ZARVEL_MINGW_HOST})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees only the cross-built libraries, never the host's.
if(ZARVEL_WINDOWS_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} "${ZARVEL_WINDOWS_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()

# Static runtime: the .exe needs no mingw DLLs next to it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# GCC does not align the Windows x64 stack beyond 16 bytes, so AVX spills
# with aligned moves can fault; the assembler turns them into unaligned ones.
set(CMAKE_C_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")

# ctest runs the Windows test programs through Wine (tools/wine-run).
get_filename_component(_zarvel_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_zarvel_root}/tools/wine-run")
