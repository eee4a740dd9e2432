# What makes the executables fit to ship: version resources for the Windows
# builds.

# Gives target a version resource with the project's version, its file name
# and description.
function(launcher_version_resource target description)
  set(VERSION_DESCRIPTION "${description}")
  set(VERSION_INTERNAL_NAME "${target}")
  set(VERSION_FILE_NAME "${target}${CMAKE_EXECUTABLE_SUFFIX}")
  set(rc "${CMAKE_BINARY_DIR}/resources/${target}-version.rc")
  configure_file("${CMAKE_SOURCE_DIR}/resources/version.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()
