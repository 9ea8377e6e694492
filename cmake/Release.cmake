# NFC_RELEASE: the programs as they ship. Optimised with -O2 and without
# debug information, stripped at the link, and reproducible: two builds of
# one commit, from any source and build folders, give identical files.
#  - Paths the compiler would record (__FILE__ and the like) are written
#    relative to the source and build folders.
#  - PE files carry no link time stamp (ld would write SOURCE_DATE_EPOCH
#    where it is set, and the clock's time where not).
#  - __DATE__ and __TIME__ follow SOURCE_DATE_EPOCH, which GCC honours and
#    scripts/package sets from the commit.
if(NOT CMAKE_BUILD_TYPE STREQUAL "Release")
  message(FATAL_ERROR "NFC_RELEASE needs CMAKE_BUILD_TYPE=Release (the release presets set both)")
endif()
if(NFC_SANITIZE)
  message(FATAL_ERROR "NFC_RELEASE does not go with NFC_SANITIZE")
endif()

# CMake's Release default is -O3.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG")

add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-g0>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>")
add_link_options(-s)
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
