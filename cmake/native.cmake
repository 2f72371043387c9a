# Native configuration: the logic on the simulated platform, with its unit tests.
file(GLOB SIM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/sim/*.cpp)
add_library(platform_sim OBJECT ${SIM_SOURCES})
target_include_directories(platform_sim PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(platform_sim PRIVATE ${WARNINGS})

add_library(test_fakes OBJECT ${PROJECT_SOURCE_DIR}/tests/fakes/fakes.cpp)
target_include_directories(test_fakes PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(test_fakes PRIVATE ${WARNINGS})

file(GLOB NATIVE_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/native/*.cpp)
add_executable(native_tests ${NATIVE_TEST_SOURCES})
target_compile_options(native_tests PRIVATE ${WARNINGS})
target_link_libraries(native_tests PRIVATE chronoplex_logic platform_sim test_fakes gtest gtest_main)
# Each test case is a test of its own to CTest, so a failure names the case and -j spreads
# the cases over the cores.
include(GoogleTest)
gtest_discover_tests(native_tests PROPERTIES TIMEOUT 300)
