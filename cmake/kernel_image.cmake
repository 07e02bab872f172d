# kernel_image(TARGET SOURCE...): a kernel-mode image (.sys) against the DDK
# headers and import libraries that mingw-w64 ships, for the build's
# architecture: no C runtime, native subsystem, the kernel's modules only.

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(KERNEL_TRIPLET x86_64-w64-mingw32)
  # Unwind data on every function: a fault in a guarded call must be unwound
  # through the driver's own frames to the guard.
  set(KERNEL_UNWIND -fasynchronous-unwind-tables)
  # The x64 calling convention has one form: no stdcall decoration.
  set(KERNEL_ENTRY DriverEntry)
  set(KERNEL_IMAGE_BASE 0x140000000)
else()
  set(KERNEL_TRIPLET i686-w64-mingw32)
  # Frame-based exception handling needs no tables.
  set(KERNEL_UNWIND -fno-asynchronous-unwind-tables)
  set(KERNEL_ENTRY _DriverEntry@8)
  set(KERNEL_IMAGE_BASE 0x10000)
endif()

# kernel_code(TARGET): compiled as kernel-mode code, against the DDK headers.
function(kernel_code target)
  target_include_directories(${target} PRIVATE /usr/${KERNEL_TRIPLET}/include/ddk)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-std=gnu++17 -fno-exceptions -fno-rtti -fno-stack-protector -fno-builtin -ffreestanding ${KERNEL_UNWIND}>
    $<$<COMPILE_LANGUAGE:CXX>:-D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
                               -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset -DNTDDI_WINVISTA=0x06000000>)
endfunction()

function(kernel_image target)
  add_executable(${target} ${ARGN})
  set_target_properties(${target} PROPERTIES SUFFIX ".sys" PREFIX "")
  kernel_code(${target})
  # The whole link line is the image's own: no C runtime, no static runtime.
  set_target_properties(${target} PROPERTIES LINK_OPTIONS "" LINK_FLAGS "")
  target_link_options(${target} PRIVATE -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--entry,${KERNEL_ENTRY}
                      -Wl,--image-base,${KERNEL_IMAGE_BASE} -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000)
  target_link_libraries(${target} PRIVATE ntoskrnl usbd hal gcc)
endfunction()
