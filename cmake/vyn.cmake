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

# vyn_module(<name> [DEPS <modules>] [LIBS <external libs>]): the .cpp files of the calling
# directory become the static library vyn_<name>; DEPS names the modules it calls (without
# the vyn_ prefix), so that a test can link just what it needs.
function(vyn_module name)
  cmake_parse_arguments(M "" "" "DEPS;LIBS" ${ARGN})
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  if(NOT _src)
    # a module being started: an empty library keeps its CMakeLists valid
    set(_src ${CMAKE_CURRENT_BINARY_DIR}/vyn_empty_${name}.cpp)
    file(WRITE ${_src} "// no sources yet\n")
  endif()
  add_library(vyn_${name} STATIC ${_src})
  target_include_directories(vyn_${name} PUBLIC ${CMAKE_SOURCE_DIR} ${VYN_GEN_DIR})
  list(TRANSFORM M_DEPS PREPEND vyn_)
  target_link_libraries(vyn_${name} PUBLIC Threads::Threads ${M_DEPS} ${M_LIBS})
  add_dependencies(vyn_${name} vyn_generated)
  set_property(GLOBAL APPEND PROPERTY VYN_MODULES vyn_${name})
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
    target_link_libraries(test_${name} PRIVATE vyn_all)
  endif()
  target_link_libraries(test_${name} PRIVATE GTest::gtest GTest::gtest_main ${T_LIBS})
  target_include_directories(test_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  add_test(NAME ${name} COMMAND test_${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600
    ENVIRONMENT "VYN_SOURCE_DIR=${CMAKE_SOURCE_DIR};VYN_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()

# vyn_fuzz(<name> <source>): a libFuzzer target, built with VYN_FUZZ, run by scripts/test.
function(vyn_fuzz name src)
  if(NOT VYN_FUZZ)
    return()
  endif()
  add_executable(fuzz_${name} ${src})
  target_link_libraries(fuzz_${name} PRIVATE vyn_all)
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

function(vyn_finish)
  get_property(_mods GLOBAL PROPERTY VYN_MODULES)
  add_library(vyn_all INTERFACE)
  target_link_libraries(vyn_all INTERFACE "$<LINK_GROUP:RESCAN,${_mods}>"
    EXPAT::EXPAT ZLIB::ZLIB PkgConfig::INIH Threads::Threads)
  target_include_directories(vyn_all INTERFACE ${CMAKE_SOURCE_DIR} ${VYN_GEN_DIR})
  if(EXISTS ${CMAKE_SOURCE_DIR}/platform/boot/rtp_main.cpp)
    add_executable(vyn ${CMAKE_SOURCE_DIR}/platform/boot/rtp_main.cpp)
    target_link_libraries(vyn PRIVATE vyn_all)
  endif()
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
