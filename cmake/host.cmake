# Host build: the portable core with its unit tests and microbenchmarks.
if(QUORVIN_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_compile_options(${_san})
  add_link_options(${_san})
  target_compile_options(quorvin_core PRIVATE ${_san})
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

enable_testing()
include(GoogleTest)

file(GLOB QUORVIN_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*_test.cpp)
file(GLOB QUORVIN_SAMPLE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/samples/*_core.cpp)
add_library(quorvin_samples STATIC ${QUORVIN_SAMPLE_SOURCES})
target_link_libraries(quorvin_samples PUBLIC quorvin_core)

add_executable(unit_tests ${QUORVIN_UNIT_TESTS})
target_link_libraries(unit_tests PRIVATE quorvin_samples quorvin_core GTest::gtest_main)
gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 60)

# Microbenchmarks (not tests): built when Google Benchmark is installed.
find_package(benchmark QUIET)
file(GLOB QUORVIN_HOST_BENCH CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*_bench.cpp)
if(benchmark_FOUND AND QUORVIN_HOST_BENCH)
  foreach(src IN LISTS QUORVIN_HOST_BENCH)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE quorvin_samples quorvin_core benchmark::benchmark)
  endforeach()
endif()

# Tools that write sample files for the Wine tests and the demo.
file(GLOB QUORVIN_SAMPLE_TOOLS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/samples/*_tool.cpp)
foreach(src IN LISTS QUORVIN_SAMPLE_TOOLS)
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE quorvin_samples quorvin_core)
endforeach()
