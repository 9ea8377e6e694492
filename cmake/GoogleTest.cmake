# Natively we use Debian's GoogleTest packages. For the mingw builds there is
# no network at build time, so GoogleTest is compiled with the cross compiler
# from the sources that Debian's googletest package installs.
if(CMAKE_CROSSCOMPILING)
  set(NFC_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources")
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # GoogleTest's own sources do not build warning-free with mingw -Werror.
  add_subdirectory(${NFC_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(t gtest gtest_main gmock gmock_main)
    if(TARGET ${t})
      target_compile_options(${t} PRIVATE -Wno-error)
    endif()
  endforeach()
  foreach(t gtest gtest_main gmock)
    if(NOT TARGET GTest::${t})
      add_library(GTest::${t} ALIAS ${t})
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()

# nfc_add_test(name SOURCES ... LIBS ...): one test executable, registered
# with ctest as a single test (under Wine each start costs a second, so we do
# not register every case separately).
function(nfc_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # 77: the program could not be started here at all (see scripts/wine-run).
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} SKIP_RETURN_CODE 77)
endfunction()

# Test commands that start Wine programs themselves (the end-to-end
# harnesses) begin with ${NFC_WINE_HARNESS}. In the 32-bit Windows build that
# is scripts/guest/wrap, which runs the whole command in a QEMU guest where
# this kernel cannot run 32-bit code; elsewhere it is empty.
set(NFC_WINE_HARNESS "")
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(NFC_WINE_HARNESS ${CMAKE_SOURCE_DIR}/scripts/guest/wrap)
endif()
