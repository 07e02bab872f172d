# harlen_image(TARGET [EXTRA SOURCE...]): harlen.sys from the driver sources
# (i686 ships; x86_64 ships in the medium's amd64 folder and runs the tests
# under 64-bit Wine). EXTRA adds objects to the image (the Wine kernel's
# supplied functions); the shipped image has none. Every image of a build
# links the same compiled driver (harlen_objects).
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/kernel_image.cmake)
set(HARLEN_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)

function(harlen_image target)
  cmake_parse_arguments(PARSE_ARGV 1 image "" "" "EXTRA")
  if(NOT TARGET harlen_objects)
    set(sources entry.cpp usb_submit.cpp configuration.cpp pnp.cpp read_write.cpp recovery.cpp power.cpp
                vendor_control.cpp legacy_node.cpp device_control.cpp target/guarded_call.cpp)
    list(TRANSFORM sources PREPEND ${HARLEN_SOURCE_DIR}/)
    add_library(harlen_objects OBJECT ${sources})
    kernel_code(harlen_objects)
    target_include_directories(harlen_objects BEFORE PRIVATE ${HARLEN_SOURCE_DIR})
  endif()
  kernel_image(${target} $<TARGET_OBJECTS:harlen_objects> ${HARLEN_SOURCE_DIR}/target/harlen.rc ${image_EXTRA})
  target_include_directories(${target} BEFORE PRIVATE ${HARLEN_SOURCE_DIR})
endfunction()
