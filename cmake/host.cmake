# Host build: the portable core with its unit tests and microbenchmarks.
if(QUORVIN_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_compile_options(${_san})
  add_link_options(${_san})
  foreach(lib IN LISTS QUORVIN_CORE_LIBS)
    target_compile_options(${lib} PRIVATE ${_san})
  endforeach()
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

enable_testing()
include(GoogleTest)

file(GLOB QUORVIN_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*_test.cpp)
file(GLOB QUORVIN_SAMPLE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/samples/*_core.cpp)
add_library(quorvin_samples STATIC ${QUORVIN_SAMPLE_SOURCES})
target_link_libraries(quorvin_samples PUBLIC quorvin_core)

# The floors: a run-floor file that includes a subsystem's header does not
# compile (its own floor's header is found, the higher one is not).
add_library(quorvin_floor_probe OBJECT EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/tests/floors/upward_include.cpp)
target_link_libraries(quorvin_floor_probe PRIVATE quorvin_run_core)
add_test(NAME floors_refuse_upward_include
         COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target quorvin_floor_probe)
set_tests_properties(floors_refuse_upward_include PROPERTIES
  PASS_REGULAR_EXPRESSION "upward_include\\.cpp:5:[0-9]+: fatal error: scan/detect_core\\.h")

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

# The native scanner for Linux (file servers, offline Windows volumes) and its
# tests. Its registry side reads and writes hive files through hivex.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(HIVEX QUIET IMPORTED_TARGET hivex)
endif()
if(HIVEX_FOUND)
  find_package(Threads REQUIRED)
  file(GLOB QUORVIN_NATIVE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/linux/*.cpp)
  list(REMOVE_ITEM QUORVIN_NATIVE_SOURCES ${CMAKE_SOURCE_DIR}/linux/main.cpp)
  # A front end beside app/: it stands on the subsystems' portable core.
  add_library(quorvin_native STATIC ${QUORVIN_NATIVE_SOURCES})
  target_include_directories(quorvin_native PUBLIC ${QUORVIN_FLOOR_ROOTS}/linux)
  target_link_libraries(quorvin_native PUBLIC quorvin_subsystems_core PkgConfig::HIVEX Threads::Threads)
  target_compile_options(quorvin_native PRIVATE -Wall -Wextra)
  # The readers' reads go to the kernel together through io_uring where the
  # build has liburing (Debian: liburing-dev); without it, one at a time.
  # Linked in whole where the archive is there, so that the program copied to
  # a file server needs no library more than before.
  pkg_check_modules(URING QUIET IMPORTED_TARGET liburing)
  if(URING_FOUND)
    find_library(URING_ARCHIVE NAMES liburing.a HINTS ${URING_LIBRARY_DIRS})
    if(URING_ARCHIVE)
      target_include_directories(quorvin_native PRIVATE ${URING_INCLUDE_DIRS})
      target_link_libraries(quorvin_native PUBLIC ${URING_ARCHIVE})
    else()
      target_link_libraries(quorvin_native PUBLIC PkgConfig::URING)
    endif()
    target_compile_definitions(quorvin_native PRIVATE FIXQUORVIN_HAVE_URING=1)
  else()
    message(WARNING "liburing not found (Debian: liburing-dev): fixquorvin reads one file at a time per reader")
  endif()

  add_executable(fixquorvin ${CMAKE_SOURCE_DIR}/linux/main.cpp)
  target_link_libraries(fixquorvin PRIVATE quorvin_native)
  target_compile_definitions(fixquorvin PRIVATE
    QUORVIN_PRODUCT_TITLE="Ostrovel W32.Quorvin Removal Tool ${PROJECT_VERSION}")

  # The native benchmark's trees and its bare read walk (bench/run-native.sh).
  add_executable(bench_tree ${CMAKE_SOURCE_DIR}/bench/native/bench_tree.cpp)
  target_link_libraries(bench_tree PRIVATE quorvin_native quorvin_samples)

  file(GLOB QUORVIN_NATIVE_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/native/*_test.cpp)
  if(QUORVIN_NATIVE_TESTS)
    add_executable(native_tests ${QUORVIN_NATIVE_TESTS})
    target_link_libraries(native_tests PRIVATE quorvin_native quorvin_samples GTest::gtest_main)
    target_compile_definitions(native_tests PRIVATE FIXQUORVIN_PROGRAM="$<TARGET_FILE:fixquorvin>")
    add_dependencies(native_tests fixquorvin)
    gtest_discover_tests(native_tests DISCOVERY_TIMEOUT 60)
  endif()

  # What `make install` (and a package built from these rules) puts in place.
  include(GNUInstallDirs)
  install(TARGETS fixquorvin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/quorvin-log DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/docs/fixquorvin.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # `make package`: a Debian package of the same rules, from build/native.
  # The libraries the program links come from dpkg-shlibdeps (libc6,
  # libhivex0, libstdc++6, libgcc-s1; liburing is linked in); quorvin-log needs python3.
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME fixquorvin)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_VENDOR Ostrovel)
  set(CPACK_PACKAGE_CONTACT "Ostrovel <fixquorvin@ostrovel.invalid>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "W32.Quorvin removal for directory trees and offline Windows volumes")
  # (CPack puts the summary above it as the first line)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "fixquorvin scans directory trees (file servers, backups, the disk of an
infected Windows machine mounted on a rescue system), repairs the program
files W32.Quorvin has infected and deletes the threat's own files; on an
offline Windows volume it also removes the threat's registry entries from
the volume's hives. quorvin-log reads a log of fixquorvin or of the Windows
removal tool and prints it as one JSON document.")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS python3)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
  include(CPack)
else()
  message(WARNING "hivex not found (Debian: libhivex-dev): the native scanner fixquorvin is not built")
endif()

# The log reader, on logs of real runs of the native scanner (and on the
# Windows logs kept from runs under Wine); the install rules into a DESTDIR.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  set(_reader_test ${CMAKE_SOURCE_DIR}/tests/tools/quorvin_log_test.py)
  set(_reader_env QUORVIN_LOG=${CMAKE_SOURCE_DIR}/tools/quorvin-log)
  if(TARGET fixquorvin)
    list(APPEND _reader_env FIXQUORVIN=$<TARGET_FILE:fixquorvin> WRITE_SAMPLES=$<TARGET_FILE:write_samples_tool>
                            CMAKE_COMMAND=${CMAKE_COMMAND} QUORVIN_BUILD_DIR=${CMAKE_BINARY_DIR})
  endif()
  foreach(group NativeRuns BadInput LineForms ShortReports WindowsLogs Install)
    add_test(NAME quorvin_log.${group} COMMAND ${Python3_EXECUTABLE} ${_reader_test} -v ${group})
    set_tests_properties(quorvin_log.${group} PROPERTIES ENVIRONMENT "${_reader_env}" TIMEOUT 300)
  endforeach()

  # The Debian package built from this build's rules: its file list, its
  # control fields, and its programs run from where dpkg-deb unpacks them.
  find_program(DPKG_DEB dpkg-deb)
  if(TARGET fixquorvin AND DPKG_DEB)
    add_test(NAME package.deb COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/tools/package_test.py -v)
    set_tests_properties(package.deb PROPERTIES TIMEOUT 300 ENVIRONMENT
      "CPACK_COMMAND=${CMAKE_CPACK_COMMAND};QUORVIN_BUILD_DIR=${CMAKE_BINARY_DIR}")
  endif()
endif()
