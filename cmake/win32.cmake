# Win32 build: FixQuorvin.exe, its test programs and stand-in libraries.
# Every test program runs under Wine in its own copy of a template prefix.
set(QUORVIN_WINE_ROOT ${CMAKE_BINARY_DIR}/wine)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tests/wine/run-test.sh)

add_compile_definitions(WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501 WINVER=0x0501 _WIN32_IE=0x0600)
add_compile_options(-Wall -Wextra -Wno-cast-function-type -Wno-missing-field-initializers)
add_link_options(-static -static-libgcc -static-libstdc++)

set(QUORVIN_SYSTEM_LIBS comctl32 version shell32 advapi32 user32 gdi32 kernel32)

# Everything of the program but its entry point, so tests link the real
# subsystems: one library per floor, each on the one below (quorvin_win32 is
# the top one, the front end's).
set(_below)
foreach(floor IN LISTS QUORVIN_FLOORS)
  quorvin_floor_sources(_sources ${floor} WIN32)
  list(REMOVE_ITEM _sources ${CMAKE_SOURCE_DIR}/app/main.cpp)
  if(floor STREQUAL "app")
    set(lib quorvin_win32)
  else()
    set(lib quorvin_${floor}_win32)
  endif()
  add_library(${lib} STATIC ${_sources})
  target_link_libraries(${lib} PUBLIC quorvin_${floor}_core ${_below} ${QUORVIN_SYSTEM_LIBS})
  set(_below ${lib})
endforeach()

add_executable(FixQuorvin WIN32 app/main.cpp app/res/FixQuorvin.rc)
target_link_libraries(FixQuorvin PRIVATE quorvin_win32)
set_target_properties(FixQuorvin PROPERTIES OUTPUT_NAME FixQuorvin)
# The resource compiler's inputs are not scanned for dependencies.
set_source_files_properties(app/res/FixQuorvin.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/app/res/banner.bmp;${CMAKE_SOURCE_DIR}/app/res/app.ico;${CMAKE_SOURCE_DIR}/app/res/agreement.txt")

# Sample factory (the same portable code as on the host).
file(GLOB QUORVIN_SAMPLE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/samples/*_core.cpp)
add_library(quorvin_samples STATIC ${QUORVIN_SAMPLE_SOURCES})
target_link_libraries(quorvin_samples PUBLIC quorvin_core)

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

enable_testing()

# Small programs used by the tests: the clean console host, a file locker, the UI driver...
file(GLOB QUORVIN_TEST_TOOLS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win32/tools/*.cpp
                                               ${CMAKE_SOURCE_DIR}/tests/ui/tools/*.cpp)
foreach(src IN LISTS QUORVIN_TEST_TOOLS)
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE quorvin_win32 quorvin_samples ${QUORVIN_SYSTEM_LIBS})
endforeach()

# Stand-in libraries for what Wine lacks (one .cpp and optional .def each).
file(GLOB QUORVIN_STANDIN_DLLS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win32/dlls/*.cpp)
foreach(src IN LISTS QUORVIN_STANDIN_DLLS)
  get_filename_component(name ${src} NAME_WE)
  get_filename_component(dir ${src} DIRECTORY)
  set(_def ${dir}/${name}.def)
  if(EXISTS ${_def})
    add_library(${name} SHARED ${src} ${_def})
  else()
    add_library(${name} SHARED ${src})
  endif()
  set_target_properties(${name} PROPERTIES PREFIX "")
  target_link_libraries(${name} PRIVATE ${QUORVIN_SYSTEM_LIBS})
endforeach()

# Shared helpers of the Wine tests.
file(GLOB QUORVIN_WIN32_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
add_library(quorvin_test_support STATIC ${QUORVIN_WIN32_TEST_SUPPORT})
target_link_libraries(quorvin_test_support PUBLIC quorvin_win32 quorvin_samples GTest::gtest)
target_include_directories(quorvin_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests)

# The template prefix is made once per build folder, before any Wine test.
add_test(NAME wine_template COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/make-template.sh ${QUORVIN_WINE_ROOT}/template)
set_tests_properties(wine_template PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_property(TEST wine_template PROPERTY CROSSCOMPILING_EMULATOR "")

file(GLOB QUORVIN_WIN32_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win32/*_test.cpp
                                                ${CMAKE_SOURCE_DIR}/tests/ui/*_test.cpp)
foreach(src IN LISTS QUORVIN_WIN32_TESTS)
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE quorvin_test_support GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  # The longest takes under two minutes; a hung program is cut off well before CI's limit.
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 360)
endforeach()

# The log reader on logs of FixQuorvin.exe runs (a script: it drives Wine itself).
find_program(QUORVIN_PYTHON3 python3)
if(QUORVIN_PYTHON3)
  add_test(NAME quorvin_log_wine COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/quorvin_log_wine.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(quorvin_log_wine PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600)
  set_property(TEST quorvin_log_wine PROPERTY CROSSCOMPILING_EMULATOR "")
endif()

# Win32 benchmarks (run by hand through tests/wine/run-test.sh, not by ctest).
file(GLOB QUORVIN_WIN32_BENCH CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/win32/*.cpp)
foreach(src IN LISTS QUORVIN_WIN32_BENCH)
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  # The test support drives the program's dialog for the runs with it.
  target_link_libraries(${name} PRIVATE quorvin_test_support)
endforeach()
