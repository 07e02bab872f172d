# The host build: driver sources on the simulated kernel, native 64-bit. The
# simulator declares the kernel's types with Windows' LLP64 meaning, so the
# driver code is the same here as in the target builds.
add_compile_options(-Wall -Wextra)
set(VARROW_SANITIZE "" CACHE STRING "empty, address (with undefined), thread or fuzzer (address and undefined, clang)")
if(VARROW_SANITIZE STREQUAL "address" OR VARROW_SANITIZE STREQUAL "fuzzer")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
  # Inputs per second matter more to a fuzzer than stepping through it.
  if(VARROW_SANITIZE STREQUAL "fuzzer")
    add_compile_options(-O1)
  endif()
elseif(VARROW_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VARROW_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VARROW_SANITIZE is '${VARROW_SANITIZE}': use address, thread, fuzzer or leave it empty")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
