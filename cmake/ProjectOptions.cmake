# Compiler flags shared by every target of the project.
# launcher_project_target(tgt) applies the project's warning set to tgt.

add_library(launcher_warnings INTERFACE)
target_compile_options(launcher_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Wunused -Woverloaded-virtual -Wconversion -Wsign-conversion
  -Wnull-dereference -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
if(MINGW AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  # GCC 12 warns falsely inside the standard library at -O3: std::string
  # (GCC bug 105329) and the stream buffers.
  target_compile_options(launcher_warnings INTERFACE -Wno-restrict -Wno-null-dereference)
endif()
if(LAUNCHER_WARNINGS_AS_ERRORS)
  target_compile_options(launcher_warnings INTERFACE -Werror)
endif()

function(launcher_project_target tgt)
  target_link_libraries(${tgt} PRIVATE launcher_warnings)
endfunction()

set(LAUNCHER_SANITIZE "" CACHE STRING "Sanitizers to build with: address;undefined or thread")
if(LAUNCHER_SANITIZE)
  string(REPLACE ";" "," _san "${LAUNCHER_SANITIZE}")
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_san})
endif()

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_CXX_COMPILER_LAUNCHER "${CCACHE_PROGRAM}")
  set(CMAKE_C_COMPILER_LAUNCHER "${CCACHE_PROGRAM}")
endif()
