# The launcher's own sources, apart from the host's half of the platform
# layer (platform-win32.cpp or platform-posix.cpp, chosen by each build) and
# the entry point: one list for the main build and the fuzz build, which
# include this. Bounded formatting is made with the host's formatter, so it
# lives in platform/, but is the same for every host.
get_filename_component(LAUNCHER_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
file(GLOB PRODUCT_SOURCES CONFIGURE_DEPENDS
  ${LAUNCHER_ROOT}/common/*.cpp ${LAUNCHER_ROOT}/log/*.cpp ${LAUNCHER_ROOT}/child/*.cpp
  ${LAUNCHER_ROOT}/instance/*.cpp ${LAUNCHER_ROOT}/app/*.cpp ${LAUNCHER_ROOT}/platform/format.cpp)
list(FILTER PRODUCT_SOURCES EXCLUDE REGEX "_test\\.cpp$|/app/main\\.cpp$")
