# How tests are registered with ctest.
#
# A Windows test runs under Wine through scripts/wine-run, which picks the
# loader for the program's width. Every test command that starts Windows
# programs begins with ${NFC_WINE_HARNESS}: in the 32-bit build that is
# scripts/guest/wrap, which runs the whole command in a QEMU guest where this
# kernel cannot run 32-bit code (a test's programs share one Wine session, and
# a session lives in one kernel); elsewhere it is empty.
set(NFC_WINE_HARNESS "")
set(NFC_WINE_RUN ${CMAKE_SOURCE_DIR}/scripts/wine-run)
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(NFC_WINE_HARNESS ${CMAKE_SOURCE_DIR}/scripts/guest/wrap)
  # Guests start from a Wine prefix that the first one makes, which takes
  # minutes in the emulated machine: a test of its own pays for it once, so
  # that no other test's time limit does.
  add_test(NAME wine32_guest COMMAND ${NFC_WINE_HARNESS} --prepare)
  set_tests_properties(wine32_guest PROPERTIES FIXTURES_SETUP wine32_guest TIMEOUT 1800 SKIP_RETURN_CODE 77)
endif()

# nfc_wine_test(name TIMEOUT s): the test's command begins with
# ${NFC_WINE_HARNESS}. 77 means its programs could not be started here at all
# (see scripts/wine-run and scripts/guest/wrap). Behind the wrapper a test may
# boot a guest of its own, with cold caches: half a minute on an idle
# machine, several on a loaded one, so its time limit gets that on top.
function(nfc_wine_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "" ${ARGN})
  set(timeout ${T_TIMEOUT})
  if(NFC_WINE_HARNESS)
    math(EXPR timeout "${timeout} + 300")
    set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED wine32_guest)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${timeout} SKIP_RETURN_CODE 77)
endfunction()

# nfc_add_test(name SOURCES ... LIBS ... [TIMEOUT s]): one test executable,
# registered with ctest as a single test (under Wine each start costs a
# second, so we do not register every case separately).
function(nfc_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(WIN32)
    add_test(NAME ${name} COMMAND ${NFC_WINE_HARNESS} ${NFC_WINE_RUN} $<TARGET_FILE:${name}>)
    nfc_wine_test(${name} TIMEOUT ${T_TIMEOUT})
  else()
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
endfunction()
