# The launcher's own sources, apart from the platform layer and the entry
# point: one list for the main build and the fuzz build, which include this.
get_filename_component(LAUNCHER_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
file(GLOB PRODUCT_SOURCES CONFIGURE_DEPENDS
  ${LAUNCHER_ROOT}/common/*.cpp ${LAUNCHER_ROOT}/log/*.cpp ${LAUNCHER_ROOT}/child/*.cpp
  ${LAUNCHER_ROOT}/instance/*.cpp ${LAUNCHER_ROOT}/app/*.cpp)
list(FILTER PRODUCT_SOURCES EXCLUDE REGEX "_test\\.cpp$|/app/main\\.cpp$")
