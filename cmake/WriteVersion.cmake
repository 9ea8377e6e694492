# cmake -DNFC_SOURCE_DIR=... -DNFC_VERSION=x.y.z -DNFC_OUTPUT=.../nfc_version.h -P WriteVersion.cmake
#
# The text form of the version: "x.y.z" on the commit tagged vx.y.z (or
# x.y.z); on any other commit the version followed by the `git describe`
# output in brackets, e.g. "1.0.0 (v0.9.0-4-g1a2b3c4d5e6f)" or
# "1.0.0 (1a2b3c4d5e6f-dirty)". NFC_GIT_DESCRIBE in the environment stands in
# for git, for a copy of the sources without their repository.
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
#define NFC_VERSION_MAJOR ${major}
#define NFC_VERSION_MINOR ${minor}
#define NFC_VERSION_PATCH ${patch}
#define NFC_VERSION_TEXT \"${text}\"
")
if(EXISTS ${NFC_OUTPUT})
  file(READ ${NFC_OUTPUT} old)
else()
  set(old "")
endif()
if(NOT old STREQUAL content)
  file(WRITE ${NFC_OUTPUT} "${content}")
endif()
