# The one version number is project(VERSION) in the top-level CMakeLists.txt.
# The programs' version resources take it from nfc_version.h, which is
# written at every build (and touched only when it changes), so a commit made
# after configuring still shows up in the next build. The programs'
# application manifests carry the same four-part version in their
# assemblyIdentity; they are written from their templates beside the header.
set(NFC_VERSION_HEADER ${CMAKE_BINARY_DIR}/generated/nfc_version.h)
set(NFC_MANIFEST_TEMPLATES
  ${CMAKE_SOURCE_DIR}/checker/Orlisk.manifest.in
  ${CMAKE_SOURCE_DIR}/installer/Tamvik.exe.manifest.in)
# The driver-install script writes the version into its detection marker.
if(WIN32)
  list(APPEND NFC_MANIFEST_TEMPLATES ${CMAKE_SOURCE_DIR}/packaging/NfcDriver.cmd.in)
endif()
# One argument for the script: the templates separated by "|".
list(JOIN NFC_MANIFEST_TEMPLATES "|" manifests)
set(manifest_outputs "")
foreach(template IN LISTS NFC_MANIFEST_TEMPLATES)
  get_filename_component(name ${template} NAME)
  string(REGEX REPLACE "\\.in$" "" name "${name}")
  list(APPEND manifest_outputs ${CMAKE_BINARY_DIR}/generated/${name})
endforeach()
add_custom_target(nfc_version
  COMMAND ${CMAKE_COMMAND}
          -DNFC_SOURCE_DIR=${CMAKE_SOURCE_DIR}
          -DNFC_VERSION=${PROJECT_VERSION}
          -DNFC_OUTPUT=${NFC_VERSION_HEADER}
          -DNFC_MANIFESTS=${manifests}
          -P ${CMAKE_SOURCE_DIR}/cmake/WriteVersion.cmake
  BYPRODUCTS ${NFC_VERSION_HEADER} ${manifest_outputs}
  COMMENT "Version ${PROJECT_VERSION}"
  VERBATIM)

# nfc_version_resource(target rc-file [generated file...]): the target's .rc
# file includes nfc_version.h (and names generated files such as its
# manifest); rebuild the resource whenever one of them changes.
function(nfc_version_resource target rc)
  add_dependencies(${target} nfc_version)
  target_include_directories(${target} PRIVATE ${CMAKE_BINARY_DIR}/generated)
  get_source_file_property(deps ${rc} OBJECT_DEPENDS)
  if(NOT deps)
    set(deps "")
  endif()
  list(APPEND deps ${NFC_VERSION_HEADER})
  foreach(generated IN LISTS ARGN)
    list(APPEND deps ${CMAKE_BINARY_DIR}/generated/${generated})
  endforeach()
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${deps}")
endfunction()
