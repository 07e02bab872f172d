# harlen_image(TARGET [EXTRA SOURCE...]): the driver sources as a kernel-mode
# image against the DDK headers and import libraries that mingw-w64 ships,
# for the build's architecture (i686 ships; x86_64 ships in the medium's amd64
# folder and runs the tests under 64-bit Wine). EXTRA adds objects to the
# image (the Wine tests' supplied functions); the shipped image has none.
set(HARLEN_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)

function(harlen_image target)
  cmake_parse_arguments(PARSE_ARGV 1 image "" "" "EXTRA")
  set(sources entry.cpp usb_submit.cpp configuration.cpp pnp.cpp read_write.cpp recovery.cpp power.cpp
              vendor_control.cpp legacy_node.cpp device_control.cpp target/guarded_call.cpp target/harlen.rc)
  list(TRANSFORM sources PREPEND ${HARLEN_SOURCE_DIR}/)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(triplet x86_64-w64-mingw32)
    # Unwind data on every function: a fault in a guarded call must be unwound
    # through the driver's own frames to the guard.
    set(unwind -fasynchronous-unwind-tables)
    # The x64 calling convention has one form: no stdcall decoration.
    set(entry DriverEntry)
    set(base 0x140000000)
  else()
    set(triplet i686-w64-mingw32)
    # Frame-based exception handling needs no tables.
    set(unwind -fno-asynchronous-unwind-tables)
    set(entry _DriverEntry@8)
    set(base 0x10000)
  endif()
  set(HARLEN_TRIPLET ${triplet} PARENT_SCOPE)

  add_executable(${target} ${sources} ${image_EXTRA})
  set_target_properties(${target} PROPERTIES SUFFIX ".sys" PREFIX "")
  target_include_directories(${target} PRIVATE ${HARLEN_SOURCE_DIR} /usr/${triplet}/include/ddk)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-std=gnu++17 -fno-exceptions -fno-rtti -fno-stack-protector -fno-builtin -ffreestanding ${unwind}>
    $<$<COMPILE_LANGUAGE:CXX>:-D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
                               -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset -DNTDDI_WINVISTA=0x06000000>)
  # The whole link line is the driver's own: no C runtime, no static runtime.
  set_target_properties(${target} PROPERTIES LINK_OPTIONS "" LINK_FLAGS "")
  target_link_options(${target} PRIVATE -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--entry,${entry}
                      -Wl,--image-base,${base} -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000)
  target_link_libraries(${target} PRIVATE ntoskrnl usbd hal gcc)
endfunction()
