# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads).
# The .exe files are linked statically, so that they need only system DLLs.
# zstd, libcurl and libcrypto come from scripts/windows-deps, which builds
# them from Debian's source packages into build/windows-deps/ and writes
# deps.cmake there naming the current versions' prefixes.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)
set(CMAKE_AR ${_triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_triple}-ranlib CACHE FILEPATH "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

get_filename_component(_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(LAUNCHER_WINDOWS_DEPS_DIR "${_source_dir}/build/windows-deps" CACHE PATH
    "Where scripts/windows-deps put the cross-built zstd, libcurl and libcrypto")
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
if(EXISTS "${LAUNCHER_WINDOWS_DEPS_DIR}/deps.cmake")
  include("${LAUNCHER_WINDOWS_DEPS_DIR}/deps.cmake")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests and build-time tools run under Wine (scripts/wine-run).
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${_source_dir}/scripts/wine-run")
endif()
