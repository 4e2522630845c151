# Build helpers shared by every module and test directory.

set(VYN_WARNINGS -Wall -Wextra -Werror -Wno-missing-field-initializers)
set(VYN_GEN_DIR ${CMAKE_BINARY_DIR}/generated)

if(VYN_SANITIZE STREQUAL "address")
  set(VYN_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(VYN_SANITIZE STREQUAL "thread")
  set(VYN_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
else()
  set(VYN_SAN_FLAGS)
endif()
add_compile_options(${VYN_WARNINGS} ${VYN_SAN_FLAGS})
add_link_options(${VYN_SAN_FLAGS})
if(VYN_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

set_property(GLOBAL PROPERTY VYN_MODULES "")

# The floors of the application, lowest first. A module may include and link only modules
# of its own floor or a lower one (and never form a loop); `platform` is the simulated
# platform, reached by the application through its door headers only.
set(VYN_LAYERS platform base services drivers calibration comm acquisition logging gui display app)
# The door: the only platform headers an application module may include. The byte helpers sit on
# the platform's floor so that both sides of a format the platform shares with the application
# (the shell's messages) read and write it with the same code.
set(VYN_DOOR_HEADERS
  platform/os/os.h platform/os/osfs.h platform/kmgr/kmgr.h platform/kmgr/calls.h
  platform/hw/hw.h platform/hw/zynq_map.h services/bytes/bytes.h)

# vyn_module(<name> LAYER <floor> [DEPS <modules>] [LIBS <external libs>] [PRIVATE <headers>]
#            [HEADER <header>]):
# the .cpp files of the calling directory become the static library vyn_<name>; DEPS names every
# module whose headers it includes or whose symbols it takes (without the vyn_ prefix); PRIVATE
# lists headers no other module may include (besides every *_private.h). scripts/check_modules.py
# holds the includes and the libraries' symbols against these declarations at every build.
# HEADER names the public header whose first line says the module's role, where the folder has
# several and none is named after it (docs/modules.md is generated from these lines).
function(vyn_module name)
  cmake_parse_arguments(M "" "LAYER;HEADER" "DEPS;LIBS;PRIVATE" ${ARGN})
  list(FIND VYN_LAYERS "${M_LAYER}" _floor)
  if(_floor LESS 0)
    message(FATAL_ERROR "vyn_module(${name}): LAYER must be one of ${VYN_LAYERS}")
  endif()
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  if(NOT _src)
    # a header-only module: an empty library keeps it linkable
    set(_src ${CMAKE_CURRENT_BINARY_DIR}/vyn_empty_${name}.cpp)
    file(CONFIGURE OUTPUT ${_src} CONTENT "// no sources\n")
  endif()
  add_library(vyn_${name} STATIC ${_src})
  target_include_directories(vyn_${name} PUBLIC ${CMAKE_SOURCE_DIR} ${VYN_GEN_DIR})
  set(_deps ${M_DEPS})
  list(TRANSFORM _deps PREPEND vyn_)
  target_link_libraries(vyn_${name} PUBLIC Threads::Threads ${_deps} ${M_LIBS})
  add_dependencies(vyn_${name} vyn_generated)
  file(RELATIVE_PATH _dir ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set_property(GLOBAL APPEND PROPERTY VYN_MODULES vyn_${name})
  string(REPLACE ";" "," _declared "${M_DEPS}")
  string(REPLACE ";" "," _private "${M_PRIVATE}")
  set_property(GLOBAL APPEND PROPERTY VYN_MODULE_ROWS "${name}|${_dir}|${M_LAYER}|${_declared}|${_private}|${M_HEADER}")
endfunction()

# vyn_test_library(<name> [DEPS ...] [LIBS ...]): helpers shared by several test groups;
# never part of the unit.
function(vyn_test_library name)
  cmake_parse_arguments(M "" "" "DEPS;LIBS" ${ARGN})
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(vyn_${name} STATIC ${_src})
  target_include_directories(vyn_${name} PUBLIC ${CMAKE_SOURCE_DIR} ${VYN_GEN_DIR} ${CMAKE_SOURCE_DIR}/tests)
  set(_deps ${M_DEPS})
  list(TRANSFORM _deps PREPEND vyn_)
  target_link_libraries(vyn_${name} PUBLIC Threads::Threads ${_deps} ${M_LIBS})
  add_dependencies(vyn_${name} vyn_generated)
endfunction()

# vyn_test(<name> [TSAN] [DEPS <modules>] [LIBS ...]): the .cpp files of the calling directory
# become one GoogleTest executable. With DEPS it links those modules (and what they declare
# they need); without, every module. Only tests marked TSAN are built in the TSan build.
function(vyn_test name)
  cmake_parse_arguments(T "TSAN" "" "DEPS;LIBS" ${ARGN})
  if(VYN_SANITIZE STREQUAL "thread" AND NOT T_TSAN)
    return()
  endif()
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT _src)
    return()
  endif()
  add_executable(test_${name} ${_src})
  if(T_DEPS)
    list(TRANSFORM T_DEPS PREPEND vyn_)
    target_link_libraries(test_${name} PRIVATE ${T_DEPS} EXPAT::EXPAT ZLIB::ZLIB PkgConfig::INIH)
  else()
    target_link_libraries(test_${name} PRIVATE vyn_all vyn_testsupport)
  endif()
  target_link_libraries(test_${name} PRIVATE GTest::gtest GTest::gtest_main ${T_LIBS})
  target_include_directories(test_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  add_test(NAME ${name} COMMAND test_${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600
    ENVIRONMENT "VYN_SOURCE_DIR=${CMAKE_SOURCE_DIR};VYN_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()

# vyn_fuzz(<name> <source> [DEPS <modules>]): a libFuzzer target, built with VYN_FUZZ, run by
# scripts/test. With DEPS it links those modules and the test helpers (a target that stands in
# for the transport must not link the real one); without, every module.
function(vyn_fuzz name src)
  cmake_parse_arguments(F "" "" "DEPS" ${ARGN})
  if(NOT VYN_FUZZ)
    return()
  endif()
  add_executable(fuzz_${name} ${src})
  if(F_DEPS)
    list(TRANSFORM F_DEPS PREPEND vyn_)
    target_link_libraries(fuzz_${name} PRIVATE ${F_DEPS} EXPAT::EXPAT ZLIB::ZLIB PkgConfig::INIH)
    target_include_directories(fuzz_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  else()
    target_link_libraries(fuzz_${name} PRIVATE vyn_all)
  endif()
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# Variable table: one source for the memory map, the C++ declarations, addresses, the name table
# and the EPK.
function(vyn_generated_sources)
  set(_table ${CMAKE_SOURCE_DIR}/calibration/variables.tsv)
  set(_gen ${CMAKE_SOURCE_DIR}/tools/gen_vartable.py)
  set(_out ${VYN_GEN_DIR}/vyn/vartable.h ${VYN_GEN_DIR}/vyn/vartable_rows.inc ${VYN_GEN_DIR}/vyn/memmap.h)
  add_custom_command(OUTPUT ${_out}
    COMMAND /usr/bin/python3 ${_gen} ${_table} ${VYN_GEN_DIR}/vyn ${PROJECT_VERSION}
    DEPENDS ${_table} ${_gen}
    COMMENT "Generating the variable table")
  add_custom_target(vyn_generated DEPENDS ${_out})
endfunction()

# Appends to `out` a line name|folder,folder,... for every executable made in `dir` and below: the
# folder that declares it and those of its sources, relative to the source tree (the check
# refuses one inside a module's folder).
function(_vyn_executables dir out)
  set(_lines ${${out}})
  get_property(_targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(_t ${_targets})
    get_target_property(_type ${_t} TYPE)
    if(NOT _type STREQUAL "EXECUTABLE")
      continue()
    endif()
    get_target_property(_sdir ${_t} SOURCE_DIR)
    get_target_property(_srcs ${_t} SOURCES)
    set(_dirs)
    foreach(_f ${_sdir}/CMakeLists.txt ${_srcs})
      if(_f MATCHES "^\\$<")
        continue()
      endif()
      get_filename_component(_f ${_f} ABSOLUTE BASE_DIR ${_sdir})
      get_filename_component(_d ${_f} DIRECTORY)
      file(RELATIVE_PATH _d ${CMAKE_SOURCE_DIR} ${_d})
      if(NOT _d MATCHES "^\\.\\.")
        list(APPEND _dirs "${_d}")
      endif()
    endforeach()
    list(REMOVE_DUPLICATES _dirs)
    string(REPLACE ";" "," _dirs "${_dirs}")
    list(APPEND _lines "${_t}|${_dirs}")
  endforeach()
  get_property(_subs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(_s ${_subs})
    _vyn_executables(${_s} _lines)
  endforeach()
  set(${out} ${_lines} PARENT_SCOPE)
endfunction()

function(vyn_finish)
  get_property(_mods GLOBAL PROPERTY VYN_MODULES)
  get_property(_rows GLOBAL PROPERTY VYN_MODULE_ROWS)
  # The executable's own folder sits above every floor: it boots the platform and starts the
  # application, and links every module.
  list(TRANSFORM _mods REPLACE "^vyn_" "" OUTPUT_VARIABLE _all)
  string(REPLACE ";" "," _all "${_all}")
  list(APPEND _rows "vyn|program|program|${_all}||")
  # The declared graph, for the checks: name|dir|floor|dep,dep,...|private,...|header per line.
  string(REPLACE ";" "\n" _text "${_rows}")
  file(WRITE ${CMAKE_BINARY_DIR}/vyn_modules.txt "${_text}\n")
  string(REPLACE ";" "," _floors "${VYN_LAYERS}")
  string(REPLACE ";" "," _door "${VYN_DOOR_HEADERS}")
  # Runs after the module libraries are built: their symbols are checked too.
  add_custom_target(vyn_check_modules ALL
    COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/scripts/check_modules.py
            ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/vyn_modules.txt ${_floors} ${_door}
            --build ${CMAKE_BINARY_DIR} --nm ${CMAKE_NM} --executables ${CMAKE_BINARY_DIR}/vyn_executables.txt
    COMMENT "Checking the module graph" VERBATIM)
  add_dependencies(vyn_check_modules ${_mods})
  # The generated parts of the documents (the module index, the floors, the widgets, the tasks)
  # must match the code: the check fails the build, vyn_docs writes them anew.
  set(_gen_docs /usr/bin/python3 ${CMAKE_SOURCE_DIR}/scripts/gen_docs.py
      ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/vyn_modules.txt ${_floors})
  add_custom_target(vyn_check_docs ALL
    COMMAND ${_gen_docs} --regen "cmake --build ${CMAKE_BINARY_DIR} --target vyn_docs"
    COMMENT "Checking the generated documents" VERBATIM)
  add_custom_target(vyn_docs COMMAND ${_gen_docs} --write COMMENT "Writing the generated documents" VERBATIM)
  add_library(vyn_all INTERFACE)
  target_link_libraries(vyn_all INTERFACE ${_mods} EXPAT::EXPAT ZLIB::ZLIB PkgConfig::INIH Threads::Threads)
  target_include_directories(vyn_all INTERFACE ${CMAKE_SOURCE_DIR} ${VYN_GEN_DIR})
  add_executable(vyn ${CMAKE_SOURCE_DIR}/program/main.cpp)
  target_link_libraries(vyn PRIVATE vyn_all)
  add_dependencies(vyn vyn_check_modules vyn_check_docs)
  # Every executable of the build with its folders, for the check (name|folder,folder,... per line).
  _vyn_executables(${CMAKE_SOURCE_DIR} _exes)
  string(REPLACE ";" "\n" _text "${_exes}")
  file(WRITE ${CMAKE_BINARY_DIR}/vyn_executables.txt "${_text}\n")
endfunction()

# vyn_bench(<name>): the .cpp files of the calling directory become a Google Benchmark
# executable (built with -DVYN_BENCH=ON only; never part of the tests).
function(vyn_bench name)
  if(NOT VYN_BENCH)
    return()
  endif()
  find_package(benchmark REQUIRED)
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT _src)
    return()
  endif()
  add_executable(bench_${name} ${_src})
  target_link_libraries(bench_${name} PRIVATE vyn_all benchmark::benchmark)
endfunction()
