# The floors, from the bottom up. Each floor's sources see only the include
# roots of their own floor and the floors below (a folder of symbolic links per
# floor in the build tree), so an include that runs back up fails to build.
# One library per floor links the floors below it; the portable *_core.cpp
# files of a floor form its core library, built for the host and for Win32.
set(QUORVIN_FLOOR_ROOTS ${CMAKE_BINARY_DIR}/floors)

# quorvin_floor_root(<floor> <name>=<path in the sources>...): the floor's include root.
function(quorvin_floor_root floor)
  set(root ${QUORVIN_FLOOR_ROOTS}/${floor})
  file(MAKE_DIRECTORY ${root})
  foreach(pair IN LISTS ARGN)
    string(REPLACE "=" ";" pair ${pair})
    list(GET pair 0 name)
    list(GET pair 1 target)
    # Made again at every configure (a moved source tree leaves no stale link).
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${target} ${root}/${name} SYMBOLIC)
  endforeach()
endfunction()

quorvin_floor_root(platform platform=platform ps=platform/ps win32=include/win32 unique_value.h=include/unique_value.h)
quorvin_floor_root(run run=run)
quorvin_floor_root(subsystems scan=scan procs=procs fix=fix)
quorvin_floor_root(app app=app)
quorvin_floor_root(linux linux=linux)
quorvin_floor_root(tests tests=tests)

# Folders of each floor.
set(QUORVIN_FLOOR_platform platform platform/ps/win32)
set(QUORVIN_FLOOR_run run)
set(QUORVIN_FLOOR_subsystems scan procs fix)
set(QUORVIN_FLOOR_app app)
set(QUORVIN_FLOORS platform run subsystems app)
set(QUORVIN_SUBSYSTEMS)
foreach(floor IN LISTS QUORVIN_FLOORS)
  list(APPEND QUORVIN_SUBSYSTEMS ${QUORVIN_FLOOR_${floor}})
endforeach()

# quorvin_floor_sources(<var> <floor> CORE|WIN32): the floor's portable or Win32 sources.
function(quorvin_floor_sources var floor kind)
  set(out)
  foreach(dir IN LISTS QUORVIN_FLOOR_${floor})
    if(kind STREQUAL "CORE")
      file(GLOB _found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*_core.cpp)
    else()
      file(GLOB _found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
      list(FILTER _found EXCLUDE REGEX "_core\\.cpp$")
    endif()
    list(APPEND out ${_found})
  endforeach()
  set(${var} ${out} PARENT_SCOPE)
endfunction()

# Core libraries: quorvin_<floor>_core, each on the one below (the platform
# floor has no portable sources: its core is its include root).
set(QUORVIN_CORE_LIBS)
set(_below)
foreach(floor IN LISTS QUORVIN_FLOORS)
  quorvin_floor_sources(_core ${floor} CORE)
  if(_core)
    add_library(quorvin_${floor}_core STATIC ${_core})
    target_include_directories(quorvin_${floor}_core PUBLIC ${QUORVIN_FLOOR_ROOTS}/${floor})
    if(_below)
      target_link_libraries(quorvin_${floor}_core PUBLIC ${_below})
    endif()
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
      target_compile_options(quorvin_${floor}_core PRIVATE -Wall -Wextra)
    endif()
    list(APPEND QUORVIN_CORE_LIBS quorvin_${floor}_core)
  else()
    add_library(quorvin_${floor}_core INTERFACE)
    target_include_directories(quorvin_${floor}_core INTERFACE ${QUORVIN_FLOOR_ROOTS}/${floor})
    if(_below)
      target_link_libraries(quorvin_${floor}_core INTERFACE ${_below})
    endif()
  endif()
  set(_below quorvin_${floor}_core)
endforeach()

# The whole portable core (unit tests, fuzzers, the sample factory), with the
# tests' own root.
add_library(quorvin_core INTERFACE)
target_link_libraries(quorvin_core INTERFACE quorvin_app_core)
target_include_directories(quorvin_core INTERFACE ${QUORVIN_FLOOR_ROOTS}/tests)
