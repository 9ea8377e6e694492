# How tests are registered with ctest.
#
# A Windows test runs under Wine through scripts/wine-run, which picks the
# loader for the program's width. Every command that starts Windows programs
# begins with ${NFC_WINE_HARNESS}: in the 32-bit build that is
# scripts/guest/wrap, which runs the whole command in a QEMU guest where this
# kernel cannot run 32-bit code (a test's programs share one Wine session,
# and a session lives in one kernel); elsewhere it is empty.
set(NFC_WINE_HARNESS "")
set(NFC_WINE_RUN ${CMAKE_SOURCE_DIR}/scripts/wine-run)
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(NFC_WINE_HARNESS ${CMAKE_SOURCE_DIR}/scripts/guest/wrap)
endif()

# nfc_add_test(name SOURCES ... LIBS ... [TIMEOUT s]): one test executable,
# registered with ctest as a single test (under Wine each start costs a
# second, so we do not register every case separately).
function(nfc_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # 77: the program could not be started here at all (see scripts/wine-run).
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} SKIP_RETURN_CODE 77)
endfunction()
