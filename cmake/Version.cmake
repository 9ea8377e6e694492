# The one version number is project(VERSION) in the top-level CMakeLists.txt.
# The programs' version resources take it from nfc_version.h, which is
# written at every build (and touched only when it changes), so a commit made
# after configuring still shows up in the next build.
set(NFC_VERSION_HEADER ${CMAKE_BINARY_DIR}/generated/nfc_version.h)
add_custom_target(nfc_version
  COMMAND ${CMAKE_COMMAND}
          -DNFC_SOURCE_DIR=${CMAKE_SOURCE_DIR}
          -DNFC_VERSION=${PROJECT_VERSION}
          -DNFC_OUTPUT=${NFC_VERSION_HEADER}
          -P ${CMAKE_SOURCE_DIR}/cmake/WriteVersion.cmake
  BYPRODUCTS ${NFC_VERSION_HEADER}
  COMMENT "Version ${PROJECT_VERSION}"
  VERBATIM)

# nfc_version_resource(target rc-file): the target's .rc file includes
# nfc_version.h; rebuild the resource whenever the header changes.
function(nfc_version_resource target rc)
  add_dependencies(${target} nfc_version)
  target_include_directories(${target} PRIVATE ${CMAKE_BINARY_DIR}/generated)
  get_source_file_property(deps ${rc} OBJECT_DEPENDS)
  if(NOT deps)
    set(deps "")
  endif()
  list(APPEND deps ${NFC_VERSION_HEADER})
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${deps}")
endfunction()
