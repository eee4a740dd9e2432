# What makes the executables fit to ship: version resources for the Windows
# builds, and with LAUNCHER_RELEASE a reproducible, size-optimised build
# whose shipped executables are linked statically and carry no debug
# information (it goes into <exe>.debug beside them).

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

if(LAUNCHER_RELEASE)
  # The same commit gives the same bytes in any folder: neither the source
  # nor the build folder reaches __FILE__ or the debug information. GCC tries
  # the last map first, and the build folder may lie inside the sources.
  add_compile_options(
    "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=."
    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")
  # Each function and object in a section of its own, so that the linker
  # drops what nothing calls, most of it in the static runtime. Debug
  # information does not change the code; it is split off below.
  add_compile_options(-g -ffunction-sections -fdata-sections)
  add_link_options(-Wl,--gc-sections)
  if(WIN32)
    # No link time in the PE header. ASLR (with the relocations it needs)
    # and DEP, stated rather than left to the linker's defaults. No stack
    # protector: MinGW's libssp seeds its canary through CryptGenRandom, which
    # would add ADVAPI32.dll to the imports.
    add_link_options(-Wl,--no-insert-timestamp -Wl,--dynamicbase -Wl,--nxcompat)
  endif()
endif()

# Under LAUNCHER_RELEASE: links target statically and moves its debug
# information into <exe>.debug beside it, found again by the debug link (name
# and checksum) left in the stripped executable.
function(launcher_ship target)
  if(NOT LAUNCHER_RELEASE)
    return()
  endif()
  if(NOT WIN32)
    # Linked dynamically, a native launch spent about half its instructions
    # in the dynamic loader, before main. A static PIE has no loader and no
    # shared libraries to map, and keeps its address randomised; the C
    # library's parts that need dlopen (name services, iconv) are not used.
    # The Windows toolchains link everything statically already.
    target_link_options(${target} PRIVATE -static-pie)
  endif()
  # objcopy stamps the PE files it writes with the current time unless
  # SOURCE_DATE_EPOCH names one: 0, as the linker leaves it.
  set(objcopy "${CMAKE_COMMAND}" -E env SOURCE_DATE_EPOCH=0 "${CMAKE_OBJCOPY}")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${objcopy} --only-keep-debug "$<TARGET_FILE:${target}>" "$<TARGET_FILE:${target}>.debug"
    COMMAND ${objcopy} --strip-all "--add-gnu-debuglink=$<TARGET_FILE:${target}>.debug" "$<TARGET_FILE:${target}>"
    VERBATIM)
endfunction()
