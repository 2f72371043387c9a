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
add_library(win32_test_support OBJECT ${WIN32_TEST_SUPPORT})
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
