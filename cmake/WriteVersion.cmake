# cmake -DNFC_SOURCE_DIR=... -DNFC_VERSION=x.y.z -DNFC_OUTPUT=.../nfc_version.h
#       [-DNFC_MANIFESTS=template.in|...] -P WriteVersion.cmake
#
# The text form of the version: "x.y.z" on the commit tagged vx.y.z (or
# x.y.z); on any other commit the version followed by the `git describe`
# output in brackets, e.g. "1.0.0 (v0.9.0-4-g1a2b3c4d5e6f)" or
# "1.0.0 (1a2b3c4d5e6f-dirty)". NFC_GIT_DESCRIBE in the environment stands in
# for git, for a copy of the sources without their repository.
#
# The fourth field of the numeric version is the number of commits up to
# this one (`git rev-list --count HEAD`, or NFC_GIT_COUNT in the
# environment): it grows with every commit, so an MSI replaces a rebuilt
# program, and it stays the same for two builds of one commit. It is 0
# where neither git nor NFC_GIT_COUNT tells it.
#
# Each template (NFC_MANIFESTS, separated by "|": the application manifests,
# and the driver-install script) is written beside the header without its
# ".in", with @NFC_VERSION_QUAD@ replaced by the four-part version; a .cmd
# script with CR LF line ends, which cmd.exe needs for its labels.
if(DEFINED ENV{NFC_GIT_DESCRIBE})
  set(describe "$ENV{NFC_GIT_DESCRIBE}")
else()
  execute_process(
    COMMAND git describe --tags --always --dirty --abbrev=12
    WORKING_DIRECTORY ${NFC_SOURCE_DIR}
    OUTPUT_VARIABLE describe
    ERROR_QUIET
    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

if(DEFINED ENV{NFC_GIT_COUNT})
  set(count "$ENV{NFC_GIT_COUNT}")
else()
  execute_process(
    COMMAND git rev-list --count HEAD
    WORKING_DIRECTORY ${NFC_SOURCE_DIR}
    OUTPUT_VARIABLE count
    ERROR_QUIET
    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(count STREQUAL "")
  set(count 0)
elseif(NOT count MATCHES "^[0-9]+$" OR count GREATER 65535)
  message(FATAL_ERROR "commit count '${count}' does not fit a version field (0-65535)")
endif()

if(describe STREQUAL "" OR describe STREQUAL "v${NFC_VERSION}" OR describe STREQUAL "${NFC_VERSION}")
  set(text "${NFC_VERSION}")
else()
  set(text "${NFC_VERSION} (${describe})")
endif()
if(describe MATCHES "^v?[0-9]+\\.[0-9]+\\.[0-9]+$" AND NOT text STREQUAL NFC_VERSION)
  message(WARNING "commit tagged ${describe}, but the project's version is ${NFC_VERSION}")
endif()

string(REPLACE "." ";" parts "${NFC_VERSION}")
list(GET parts 0 major)
list(GET parts 1 minor)
list(GET parts 2 patch)
set(content "// Written by cmake/WriteVersion.cmake from project(VERSION); do not edit.
// Both programs are one product: an installer tells them apart by file name.
#define NFC_PRODUCT_NAME \"NFC-ME service tools\"
#define NFC_VERSION_MAJOR ${major}
#define NFC_VERSION_MINOR ${minor}
#define NFC_VERSION_PATCH ${patch}
#define NFC_VERSION_BUILD ${count}
#define NFC_VERSION_TEXT \"${text}\"
")
# Rewrites a file only when its content changes, so that nothing is rebuilt
# for an unchanged version.
function(write_if_changed path content)
  if(EXISTS ${path})
    file(READ ${path} old)
  else()
    set(old "")
  endif()
  if(NOT old STREQUAL content)
    file(WRITE ${path} "${content}")
  endif()
endfunction()

write_if_changed(${NFC_OUTPUT} "${content}")

set(NFC_VERSION_QUAD "${major}.${minor}.${patch}.${count}")
get_filename_component(out_dir ${NFC_OUTPUT} DIRECTORY)
string(REPLACE "|" ";" manifests "${NFC_MANIFESTS}")
foreach(template IN LISTS manifests)
  get_filename_component(name ${template} NAME)
  string(REGEX REPLACE "\\.in$" "" name "${name}")
  file(READ ${template} text)
  string(CONFIGURE "${text}" text @ONLY)
  if(name MATCHES "\\.cmd$")
    string(REPLACE "\n" "\r\n" text "${text}")
  endif()
  write_if_changed(${out_dir}/${name} "${text}")
endforeach()
