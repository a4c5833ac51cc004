# Compiles through ccache when it is installed. Paths are hashed relative to the source folder
# and the build folder is left out of the hash, so a fresh clone of the same sources reuses the
# objects an earlier clone compiled (the cache lives in the user's ccache folder, not the clone).
option(VK_COMPILER_CACHE "Compile through ccache when it is installed" ON)
if(VK_COMPILER_CACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  find_program(VK_CCACHE ccache)
  if(VK_CCACHE)
    set(launcher ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} CCACHE_NOHASHDIR=1
                 CCACHE_SLOPPINESS=pch_defines,time_macros ${VK_CCACHE})
    set(CMAKE_C_COMPILER_LAUNCHER ${launcher})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${launcher})
  endif()
endif()
