# Windows configuration: the logic on the real Win32 platform; its tests run under Wine.
file(GLOB WIN32_PLATFORM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/win32/*.cpp)
add_library(platform_win32 OBJECT ${WIN32_PLATFORM_SOURCES})
target_include_directories(platform_win32 PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(platform_win32 PRIVATE ${WARNINGS})
target_compile_definitions(platform_win32 PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
# The logon task (platform/win32/logon_task.cpp): COM in ole32 and oleaut32, and the Task
# Scheduler's class and interface identifiers in mingw-w64's taskschd, a library of identifiers
# only (no import of taskschd.dll). The program's place (platform/win32/program_place.cpp):
# security descriptors in advapi32. The timers' resolution while samples are aimed: winmm.
# The install compares version resources (version).
set(WIN32_SYSTEM_LIBRARIES ws2_32 user32 gdi32 comctl32 advapi32 shell32 ole32 oleaut32 taskschd
    winmm version)

# The window code: main dialog, server list, tray icon, program entry and shutdown. The
# program's entry point itself (app/winmain.cpp) stays out, so test suites can link the rest.
file(GLOB WINDOW_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/ui/*.cpp
     ${PROJECT_SOURCE_DIR}/app/*.cpp)
list(REMOVE_ITEM WINDOW_SOURCES ${PROJECT_SOURCE_DIR}/app/winmain.cpp)
add_library(chronoplex_window OBJECT ${WINDOW_SOURCES})
target_include_directories(chronoplex_window PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(chronoplex_window PRIVATE ${WARNINGS})
target_compile_definitions(chronoplex_window PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0600
                           _WIN32_IE=0x0600)

# The resource script finds resource.h from the source root, the manifest beside it and the
# icons where the build draws them.
include(cmake/icons.cmake)
set(CHRONOPLEX_RC ${PROJECT_SOURCE_DIR}/ui/chronoplex.rc)
set_source_files_properties(${CHRONOPLEX_RC} PROPERTIES OBJECT_DEPENDS
  "${PROJECT_SOURCE_DIR}/ui/chronoplex.manifest;${PROJECT_SOURCE_DIR}/ui/resource.h;${CHRONOPLEX_ICON_FILES}")
add_library(chronoplex_resources OBJECT ${CHRONOPLEX_RC})
target_include_directories(chronoplex_resources PRIVATE ${PROJECT_SOURCE_DIR}
                           ${PROJECT_SOURCE_DIR}/ui ${CHRONOPLEX_ICON_DIR})
add_dependencies(chronoplex_resources chronoplex_icons)

add_executable(chronoplex WIN32 ${PROJECT_SOURCE_DIR}/app/winmain.cpp)
target_compile_options(chronoplex PRIVATE ${WARNINGS})
target_compile_definitions(chronoplex PRIVATE WIN32_LEAN_AND_MEAN)
target_link_libraries(chronoplex PRIVATE chronoplex_window chronoplex_resources chronoplex_logic
                      platform_win32 ${WIN32_SYSTEM_LIBRARIES})
# The program ships without its symbols; the test programs keep theirs for the debugger.
target_link_options(chronoplex PRIVATE -s)

# Support code shared by the Win32 test suites: loopback Time servers for all of them; for the
# suites that drive the engine without its window, a message pump and recording stand-ins of
# the window code.
add_library(win32_time_servers OBJECT ${PROJECT_SOURCE_DIR}/tests/win32/support/time_servers.cpp)
target_include_directories(win32_time_servers PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(win32_time_servers PRIVATE ${WARNINGS})
target_link_libraries(win32_time_servers PUBLIC gtest)
add_library(win32_test_support OBJECT ${PROJECT_SOURCE_DIR}/tests/win32/support/pump.cpp
            ${PROJECT_SOURCE_DIR}/tests/win32/support/engine_reset.cpp
            ${PROJECT_SOURCE_DIR}/tests/fakes/fakes.cpp)
target_include_directories(win32_test_support PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(win32_test_support PRIVATE ${WARNINGS})
target_link_libraries(win32_test_support PUBLIC gtest)

# Suites that drive the real window code link it with the resources instead of the stand-ins.
set(WIN32_WINDOW_SUITES list_tray_test main_window_test)
add_library(win32_window_support OBJECT ${PROJECT_SOURCE_DIR}/tests/win32/support/window_support.cpp)
target_include_directories(win32_window_support PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(win32_window_support PRIVATE ${WARNINGS})
target_compile_definitions(win32_window_support PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0600)

# Each suite is its own program with its own Wine prefix under the build folder; the prefix
# is made once per build and reused. Each test case is a CTest test of its own, named after
# its suite: the cases are listed by running the suite under Wine when CTest starts, since the
# build itself never needs Wine. tools/wine-run stops the prefix's wineserver when a program
# ends, so the cases of one suite, which share its prefix, never run at the same time.
include(GoogleTest)
set(WINE_RUN ${PROJECT_SOURCE_DIR}/tools/wine-run)
set(WINE_SUITE ${PROJECT_SOURCE_DIR}/tools/wine-suite)
file(GLOB WIN32_SUITES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/win32/*_test.cpp)
foreach(suite_source ${WIN32_SUITES})
  get_filename_component(suite ${suite_source} NAME_WE)
  add_executable(${suite} ${suite_source})
  target_compile_options(${suite} PRIVATE ${WARNINGS})
  target_compile_definitions(${suite} PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
  if(suite IN_LIST WIN32_WINDOW_SUITES)
    target_link_libraries(${suite} PRIVATE chronoplex_window chronoplex_resources
                          win32_window_support)
  else()
    target_link_libraries(${suite} PRIVATE win32_test_support)
  endif()
  target_link_libraries(${suite} PRIVATE chronoplex_logic platform_win32 win32_time_servers
                        gtest gtest_main ${WIN32_SYSTEM_LIBRARIES})
  set_target_properties(${suite} PROPERTIES
    CROSSCOMPILING_EMULATOR "${WINE_SUITE};${CMAKE_BINARY_DIR}/wine/${suite}")
  set(suite_properties TIMEOUT 600 RESOURCE_LOCK wine_${suite})
  if(suite STREQUAL inetd_test)
    list(APPEND suite_properties FIXTURES_REQUIRED inetd_peers)
  endif()
  if(suite STREQUAL timebase_test)
    # Once per time zone; each case's fresh wineserver takes the zone from TZ.
    foreach(zone UTC Asia/Tokyo)
      string(REGEX REPLACE ".*/" "" zone_name ${zone})
      gtest_discover_tests(${suite} TEST_PREFIX win32.${suite}.${zone_name}. DISCOVERY_MODE PRE_TEST
                           DISCOVERY_TIMEOUT 300 PROPERTIES ${suite_properties} ENVIRONMENT TZ=${zone})
    endforeach()
  else()
    gtest_discover_tests(${suite} TEST_PREFIX win32.${suite}. DISCOVERY_MODE PRE_TEST
                         DISCOVERY_TIMEOUT 300 PROPERTIES ${suite_properties})
  endif()
endforeach()

# The inetd suite talks to real inetds on loopback; they are started before it and stopped
# after it, and end by themselves should the cleanup never run.
set(TIME_PEERS ${PROJECT_SOURCE_DIR}/tools/time-peers)
if(TARGET inetd_test)
  add_test(NAME win32_inetd_peers_start COMMAND ${TIME_PEERS} start ${CMAKE_BINARY_DIR}/peers
           300 openbsd:127.0.3.2 openbsd:127.0.3.3 inetutils:127.0.3.4
           xinetd:127.0.3.5)
  add_test(NAME win32_inetd_peers_stop COMMAND ${TIME_PEERS} stop ${CMAKE_BINARY_DIR}/peers)
  set_tests_properties(win32_inetd_peers_start PROPERTIES FIXTURES_SETUP inetd_peers TIMEOUT 120)
  set_tests_properties(win32_inetd_peers_stop PROPERTIES FIXTURES_CLEANUP inetd_peers TIMEOUT 60)
endif()

# The benchmark of a correction run on loopback; a program that prints figures, run by
# tools/bench-query, never by ctest.
add_executable(query_bench ${PROJECT_SOURCE_DIR}/bench/query_bench.cpp)
target_compile_options(query_bench PRIVATE ${WARNINGS})
target_compile_definitions(query_bench PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
target_link_libraries(query_bench PRIVATE chronoplex_logic platform_win32 win32_test_support
                      win32_time_servers gtest
                      ${WIN32_SYSTEM_LIBRARIES})

# A test build of the program for the end-to-end suite, with faults on demand (see
# tests/faults/fault_hooks.cpp): the real platform calls it intercepts are renamed in its own
# copy of the platform layer. The release program is built from the untouched layer above.
set(FAULT_PLATFORM_SOURCES ${WIN32_PLATFORM_SOURCES})
list(REMOVE_ITEM FAULT_PLATFORM_SOURCES ${PROJECT_SOURCE_DIR}/platform/win32/clock.cpp
     ${PROJECT_SOURCE_DIR}/platform/win32/registry.cpp
     ${PROJECT_SOURCE_DIR}/platform/win32/logon_task.cpp
     ${PROJECT_SOURCE_DIR}/platform/win32/program_place.cpp
     ${PROJECT_SOURCE_DIR}/platform/win32/install_place.cpp)
add_library(platform_win32_faults OBJECT ${FAULT_PLATFORM_SOURCES}
            ${PROJECT_SOURCE_DIR}/tests/faults/renamed_platform.cpp
            ${PROJECT_SOURCE_DIR}/tests/faults/fault_hooks.cpp)
target_include_directories(platform_win32_faults PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(platform_win32_faults PRIVATE ${WARNINGS})
target_compile_definitions(platform_win32_faults PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
add_executable(chronoplex_faults WIN32 ${PROJECT_SOURCE_DIR}/app/winmain.cpp)
target_compile_definitions(chronoplex_faults PRIVATE WIN32_LEAN_AND_MEAN)
target_link_libraries(chronoplex_faults PRIVATE chronoplex_window chronoplex_resources
                      chronoplex_logic platform_win32_faults ${WIN32_SYSTEM_LIBRARIES})

# The end-to-end suite runs the real program (and its fault-injecting twin) as separate
# processes in its own prefix, against inetds and misbehaving servers on 127.0.8.x. The
# misbehaving servers, and the delay line that gives a path a round trip, are small Linux
# programs, built by the host's compiler.
foreach(peer loopback_time_server delay_line line_check)
  set(peer_binary ${CMAKE_BINARY_DIR}/peers-bin/${peer})
  add_custom_command(
    OUTPUT ${peer_binary}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/peers-bin
    COMMAND ${CHRONOPLEX_HOST_CXX} -std=c++17 -O1 -Wall -Wextra -o ${peer_binary}
            ${PROJECT_SOURCE_DIR}/tests/peers/${peer}.cpp
    DEPENDS ${PROJECT_SOURCE_DIR}/tests/peers/${peer}.cpp
    COMMENT "Building ${peer}"
    VERBATIM)
  add_custom_target(${peer} ALL DEPENDS ${peer_binary})
endforeach()
set(LOOPBACK_TIME_SERVER ${CMAKE_BINARY_DIR}/peers-bin/loopback_time_server)
set(DELAY_LINE ${CMAKE_BINARY_DIR}/peers-bin/delay_line)

add_executable(program_e2e ${PROJECT_SOURCE_DIR}/tests/e2e/program_e2e.cpp)
target_include_directories(program_e2e PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(program_e2e PRIVATE ${WARNINGS})
target_compile_definitions(program_e2e PRIVATE WIN32_LEAN_AND_MEAN)
target_link_libraries(program_e2e PRIVATE gtest gtest_main ${WIN32_SYSTEM_LIBRARIES})
add_dependencies(program_e2e chronoplex chronoplex_faults loopback_time_server)
set(E2E_PEERS ${CMAKE_BINARY_DIR}/e2e-peers)
add_test(NAME e2e_peers_start COMMAND ${PROJECT_SOURCE_DIR}/tools/e2e-peers start ${E2E_PEERS}
         ${LOOPBACK_TIME_SERVER})
add_test(NAME e2e_peers_stop COMMAND ${PROJECT_SOURCE_DIR}/tools/e2e-peers stop ${E2E_PEERS})
set_tests_properties(e2e_peers_start PROPERTIES FIXTURES_SETUP e2e_peers TIMEOUT 120 LABELS e2e)
set_tests_properties(e2e_peers_stop PROPERTIES FIXTURES_CLEANUP e2e_peers TIMEOUT 60 LABELS e2e)
# Each scenario is a test of its own, run in a prefix made anew from a template.
set_target_properties(program_e2e PROPERTIES
  CROSSCOMPILING_EMULATOR "${WINE_SUITE};--fresh;${CMAKE_BINARY_DIR}/wine/program_e2e")
# The scenarios through the delay line ("through_...") are left out here: they run below,
# inside the line's client namespace.
set(E2E_THROUGH_LINE Scenarios/ProgramE2E.Scenario/through_*)
gtest_discover_tests(program_e2e TEST_PREFIX e2e. DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 300
                     TEST_FILTER -${E2E_THROUGH_LINE}
                     PROPERTIES TIMEOUT 180 LABELS e2e FIXTURES_REQUIRED e2e_peers
                     RESOURCE_LOCK wine_program_e2e ENVIRONMENT CHRONOPLEX_E2E_PEERS=${E2E_PEERS})

# The delay line: its own check (a connect through it takes up + down), then the scenarios
# through it, the whole suite program run in its client's namespace with exact Time servers
# behind 100 ms each way. Each use has namespaces of its own, so uses never meet. Where the
# line cannot be made (no /dev/net/tun, no namespaces) the line says so and the tests are
# skipped (77).
add_test(NAME line_check COMMAND ${DELAY_LINE} 60 30 10
         "${LOOPBACK_TIME_SERVER} 60 time@198.19.0.2"
         ${CMAKE_BINARY_DIR}/peers-bin/line_check 198.19.0.2 40 5)
add_test(NAME e2e_through_the_line COMMAND ${DELAY_LINE} 300 100 100
         "${LOOPBACK_TIME_SERVER} 300 time@198.19.0.2 time@198.19.0.3 time@198.19.0.4 time@198.19.0.5"
         ${WINE_SUITE} --fresh ${CMAKE_BINARY_DIR}/wine/program_e2e $<TARGET_FILE:program_e2e>
         --gtest_filter=${E2E_THROUGH_LINE})
set_tests_properties(line_check PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)
set_tests_properties(e2e_through_the_line PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS e2e
                     RESOURCE_LOCK wine_program_e2e)

# Whole-program figures, run by tools/bench-program, never by ctest: a driver that starts the
# real program in a Wine prefix and measures it from outside, and the plainest dialog program,
# built the same way, as the anchor for start-up, memory and idle CPU.
add_executable(minimal_dialog WIN32 ${PROJECT_SOURCE_DIR}/bench/minimal_dialog.cpp
               ${PROJECT_SOURCE_DIR}/bench/minimal_dialog.rc)
target_include_directories(minimal_dialog PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(minimal_dialog PRIVATE ${WARNINGS})
target_compile_definitions(minimal_dialog PRIVATE WIN32_LEAN_AND_MEAN)
target_link_libraries(minimal_dialog PRIVATE user32)
target_link_options(minimal_dialog PRIVATE -s)
add_executable(program_bench ${PROJECT_SOURCE_DIR}/bench/program_bench.cpp)
target_include_directories(program_bench PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(program_bench PRIVATE ${WARNINGS})
target_compile_definitions(program_bench PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
target_link_libraries(program_bench PRIVATE user32 advapi32 psapi)
add_dependencies(program_bench chronoplex minimal_dialog)
