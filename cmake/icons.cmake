# The program's icons are drawn at build time by a small generator (ui/icons/make_icons.cpp).
# It runs on the build machine, so it is compiled by the host's compiler, never by the cross
# compiler. The icons land in CHRONOPLEX_ICON_DIR, the folder the resource compiler searches
# for the .rc file's bare icon names.
set(ICON_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../ui/icons)
find_program(CHRONOPLEX_HOST_CXX NAMES c++ g++ REQUIRED)
set(CHRONOPLEX_ICON_DIR ${CMAKE_BINARY_DIR}/icons)
set(CHRONOPLEX_ICON_FILES
  ${CHRONOPLEX_ICON_DIR}/clock.ico
  ${CHRONOPLEX_ICON_DIR}/clock_alt.ico
  ${CHRONOPLEX_ICON_DIR}/clock_failed.ico)
set(ICON_GENERATOR ${CMAKE_BINARY_DIR}/icon-generator/make_icons)
add_custom_command(
  OUTPUT ${CHRONOPLEX_ICON_FILES}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icon-generator
          ${CHRONOPLEX_ICON_DIR}
  COMMAND ${CHRONOPLEX_HOST_CXX} -std=c++17 -O1 -Wall -Wextra -I${ICON_SOURCE_DIR}/../..
          -o ${ICON_GENERATOR} ${ICON_SOURCE_DIR}/make_icons.cpp
  COMMAND ${ICON_GENERATOR} ${CHRONOPLEX_ICON_DIR}
  DEPENDS ${ICON_SOURCE_DIR}/make_icons.cpp ${ICON_SOURCE_DIR}/icon_art.h
  COMMENT "Drawing the icons"
  VERBATIM)
add_custom_target(chronoplex_icons DEPENDS ${CHRONOPLEX_ICON_FILES})
