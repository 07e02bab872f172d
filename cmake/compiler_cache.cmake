# A compiler cache outside the tree (ccache's own, under ~/.cache): a fresh
# clone on a machine that built before compiles only what changed. Paths
# under the source tree are hashed relative to it, so every clone shares the
# entries; the build folder is not hashed (debug information then names the
# folder of the build that filled the entry). Depend mode takes the headers
# from the compiler's own dependency list, so a miss costs no extra
# preprocessor run.
find_program(VARROW_CCACHE ccache)
if(VARROW_CCACHE)
  set(VARROW_COMPILER_LAUNCHER ${CMAKE_BINARY_DIR}/ccache-launcher.sh)
  file(CONFIGURE OUTPUT ${VARROW_COMPILER_LAUNCHER} @ONLY CONTENT
       "#!/bin/sh\nCCACHE_BASEDIR='@CMAKE_SOURCE_DIR@' CCACHE_NOHASHDIR=true CCACHE_DEPEND=true exec '@VARROW_CCACHE@' \"$@\"\n")
  file(CHMOD ${VARROW_COMPILER_LAUNCHER} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
       WORLD_READ WORLD_EXECUTE)
  set(CMAKE_C_COMPILER_LAUNCHER ${VARROW_COMPILER_LAUNCHER})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${VARROW_COMPILER_LAUNCHER})
endif()
