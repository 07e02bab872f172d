# The windows builds (i686 shipped, x86_64 for tests everywhere): static
# programs, tests run under Wine in a private prefix of the build's own bitness.

# VARROW_WINE_DLLS: Wine's builtin Windows modules of the build's machine, read by image checks.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(VARROW_WINE_ARCH win64)
  set(VARROW_WINE_LOADER /usr/lib/wine/wine64)
  set(VARROW_WINE_DLLS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
else()
  set(VARROW_WINE_ARCH win32)
  set(VARROW_WINE_LOADER /usr/lib/wine/wine)
  set(VARROW_WINE_DLLS /usr/lib/i386-linux-gnu/wine/i386-windows)
endif()

# Some machines cannot execute 32-bit code at all; there the i686 build is
# still built and staged, and only its Wine runs are left out, visibly.
if(NOT DEFINED VARROW_WINE_TESTS)
  execute_process(COMMAND ${VARROW_WINE_LOADER} --version RESULT_VARIABLE wine_status OUTPUT_QUIET ERROR_QUIET)
  if(wine_status EQUAL 0)
    set(wine_runs ON)
  else()
    set(wine_runs OFF)
  endif()
  # Not cached: a build tree moved to another machine finds out again.
  set(VARROW_WINE_TESTS ${wine_runs})
endif()
if(NOT VARROW_WINE_TESTS)
  message(STATUS "${VARROW_WINE_LOADER} cannot run here: the ${VARROW_WINE_ARCH} Wine tests are disabled")
endif()

set(WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)

# varrow_wine_prefix(TARGET DIR COMMENT): a headless prefix made at build
# time (DIR.stamp marks it made), part of every build whose Wine tests run.
function(varrow_wine_prefix target dir comment)
  add_custom_command(
    OUTPUT ${dir}.stamp
    COMMAND ${CMAKE_SOURCE_DIR}/cmake/make-wineprefix.sh ${dir} null ${VARROW_WINE_ARCH}
    COMMAND ${CMAKE_COMMAND} -E touch ${dir}.stamp
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/make-wineprefix.sh
    COMMENT "${comment}")
  if(VARROW_WINE_TESTS)
    add_custom_target(${target} ALL DEPENDS ${dir}.stamp)
  else()
    add_custom_target(${target} DEPENDS ${dir}.stamp)
  endif()
endfunction()

# The prefix is made once at build time, so tests running in parallel never race to create it.
varrow_wine_prefix(wineprefix ${WINE_PREFIX} "Creating the headless ${VARROW_WINE_ARCH} Wine prefix (code page 936)")

add_compile_definitions(UNICODE _UNICODE _WIN32_WINNT=0x0501 WINVER=0x0501)
add_compile_options(-Wall -Wextra)
add_link_options(-static -static-libgcc -static-libstdc++)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# A test that runs under Wine: listed as not run where this build's code cannot execute.
function(varrow_wine_test name)
  if(VARROW_WINE_TESTS)
    if(TARGET ${name})
      add_dependencies(${name} wineprefix)
    endif()
  else()
    set_tests_properties(${name} PROPERTIES DISABLED TRUE)
  endif()
endfunction()

# A Windows test program, run once per executable (each Wine start costs a second).
function(varrow_windows_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  varrow_wine_test(${name})
endfunction()
