# Windows configuration: the logic on the real Win32 platform; its tests run under Wine.
file(GLOB WIN32_PLATFORM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/win32/*.cpp)
add_library(platform_win32 OBJECT ${WIN32_PLATFORM_SOURCES})
target_include_directories(platform_win32 PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(platform_win32 PRIVATE ${WARNINGS})
target_compile_definitions(platform_win32 PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
set(WIN32_SYSTEM_LIBRARIES ws2_32 user32 gdi32 comctl32 advapi32 shell32)

# Support code shared by the Win32 test suites (loopback servers, a message pump, fakes of
# the parts whose real code is not linked in yet).
file(GLOB WIN32_TEST_SUPPORT CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/win32/support/*.cpp)
add_library(win32_test_support OBJECT ${WIN32_TEST_SUPPORT}
            ${PROJECT_SOURCE_DIR}/tests/fakes/fakes.cpp)
target_include_directories(win32_test_support PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(win32_test_support PRIVATE ${WARNINGS})
target_link_libraries(win32_test_support PUBLIC gtest)

# Each suite is its own program with its own Wine prefix under the build folder; the prefix
# is made once per build and reused.
set(WINE_RUN ${PROJECT_SOURCE_DIR}/tools/wine-run)
file(GLOB WIN32_SUITES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/win32/*_test.cpp)
foreach(suite_source ${WIN32_SUITES})
  get_filename_component(suite ${suite_source} NAME_WE)
  add_executable(${suite} ${suite_source})
  target_compile_options(${suite} PRIVATE ${WARNINGS})
  target_compile_definitions(${suite} PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
  target_link_libraries(${suite} PRIVATE chronoplex_logic platform_win32 win32_test_support
                        gtest gtest_main ${WIN32_SYSTEM_LIBRARIES})
  set_target_properties(${suite} PROPERTIES
    CROSSCOMPILING_EMULATOR "${WINE_RUN};${CMAKE_BINARY_DIR}/wine/${suite}")
  add_test(NAME win32_${suite} COMMAND ${suite})
  set_tests_properties(win32_${suite} PROPERTIES TIMEOUT 600)
endforeach()

# The time base's suite runs once per time zone; a fresh wineserver takes the zone from TZ.
set_tests_properties(win32_timebase_test PROPERTIES ENVIRONMENT "TZ=UTC" RESOURCE_LOCK timebase_prefix)
add_test(NAME win32_timebase_test_tokyo COMMAND timebase_test)
set_tests_properties(win32_timebase_test_tokyo PROPERTIES ENVIRONMENT "TZ=Asia/Tokyo"
                     RESOURCE_LOCK timebase_prefix TIMEOUT 600)

# The inetd suite talks to real inetds on loopback; they are started before it and stopped
# after it, and end by themselves should the cleanup never run.
set(TIME_PEERS ${PROJECT_SOURCE_DIR}/tools/time-peers)
if(TEST win32_inetd_test)
  add_test(NAME win32_inetd_peers_start COMMAND ${TIME_PEERS} start ${CMAKE_BINARY_DIR}/peers
           300 openbsd:127.0.3.2 openbsd:127.0.3.3 inetutils:127.0.3.4
           xinetd:127.0.3.5)
  add_test(NAME win32_inetd_peers_stop COMMAND ${TIME_PEERS} stop ${CMAKE_BINARY_DIR}/peers)
  set_tests_properties(win32_inetd_peers_start PROPERTIES FIXTURES_SETUP inetd_peers TIMEOUT 120)
  set_tests_properties(win32_inetd_peers_stop PROPERTIES FIXTURES_CLEANUP inetd_peers TIMEOUT 60)
  set_tests_properties(win32_inetd_test PROPERTIES FIXTURES_REQUIRED inetd_peers)
endif()

# The benchmark of a correction run on loopback; a program that prints figures, run by
# tools/bench-query, never by ctest.
add_executable(query_bench ${PROJECT_SOURCE_DIR}/bench/query_bench.cpp)
target_compile_options(query_bench PRIVATE ${WARNINGS})
target_compile_definitions(query_bench PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
target_link_libraries(query_bench PRIVATE chronoplex_logic platform_win32 win32_test_support gtest
                      ${WIN32_SYSTEM_LIBRARIES})
