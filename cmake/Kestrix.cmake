# Project-wide compile settings and the helpers every component uses.

# -Wundef: a build fact (platform/base/internal/base/BuildFacts.h) tested
# where its header is not included would read as 0 without a word.
add_compile_options(-Wall -Wextra -Wundef)
# clang checks the lock annotations (platform/base/include/base/ThreadSafety.h).
add_compile_options($<$<COMPILE_LANG_AND_ID:CXX,Clang>:-Wthread-safety>)
if(KESTRIX_WERROR)
  add_compile_options(-Werror)
endif()

# g++ collects garbage from a heap of 128 MB on; most files here need a few
# hundred, and their collections cost about a tenth of their compile time.
# From 512 MB on, only the largest compilations collect.
add_compile_options("$<$<COMPILE_LANG_AND_ID:CXX,GNU>:--param=ggc-min-heapsize=524288>")

# These options are the folder's, never a target's usage requirements: a
# project that adds Kestrix as a subfolder keeps its own warnings and
# sanitizers.
if(KESTRIX_SANITIZE)
  add_compile_options(-fsanitize=${KESTRIX_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${KESTRIX_SANITIZE})
  if(KESTRIX_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# kestrix_compiles_coroutines()
#
# For the folders whose targets compile the coroutines of platform/async,
# before their targets: clang 14 cannot emit the function-type check data of
# split coroutine functions ("Cannot represent a difference across
# sections"), so that one check stays out of them.
function(kestrix_compiles_coroutines)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND KESTRIX_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize=function)
  endif()
endfunction()

# kestrix_unity_build(<target>)
#
# Compiles the target's sources eight to a compilation (a CMake unity build).
# g++ then takes the included sources for headers, and warns about every
# class of a "header" that uses a type of the file's anonymous namespace:
# that warning is off here, and a build that compiles each source alone still
# gives it.
function(kestrix_unity_build target)
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANG_AND_ID:CXX,GNU>:-Wno-subobject-linkage>)
endfunction()

# kestrix_library(<target> [EXPORT_NAME <name>] [GENERATED_INCLUDES <dir>...]
#                 [NOT_INSTALLED])
#
# Makes a component's library usable by other projects: the alias
# Kestrix::<name>, the name the installed package exports (by default the
# target's name without its "kestrix_" prefix); C++20 for whoever links it;
# its include/ folder, installed under include/kestrix/, with the headers of
# GENERATED_INCLUDES (build folders) beside it; and its place in the
# package. A project that adds Kestrix as a subfolder sees these folders as
# system ones, so that warnings inside the headers are not reported in its
# own sources.
#
# With KESTRIX_UNITY_LIBRARIES (the sanitizer and clang presets, never the
# release one, whose libraries are the ones installed) the library's sources
# are compiled eight to a compilation, as the test programs' are (see
# kestrix_add_tests): each header is then parsed once per eight files. The
# same rules hold: no two sources of one library may define the same
# file-local name.
#
# Only include/ is installed, and only the headers a user includes
# (docs/interface.txt lists them) and those they include belong there
# (scripts/check-install fails otherwise). The component's other headers, the
# ones the tree's own sources include (its own and those of the components
# above it), sit in internal/<folder of its include/>/ and are included by the
# same name ("system/Threads.h"): that folder is on the include path of the
# build tree alone, so the exported targets carry no path to it.
#
# A component's test hooks are declared in headers of its seams/ folder
# (seams/<folder of its include/>/TestSeams.h), which only builds with tests
# or fuzz targets put on the include path; the installed headers declare none.
#
# NOT_INSTALLED keeps a library out of the package: the application's own
# code, which only its program links, is not part of the API.
function(kestrix_library target)
  cmake_parse_arguments(ARG "NOT_INSTALLED" "EXPORT_NAME" "GENERATED_INCLUDES" ${ARGN})
  set(name "${ARG_EXPORT_NAME}")
  if(NOT name)
    string(REGEX REPLACE "^kestrix_" "" name "${target}")
  endif()
  get_target_property(type ${target} TYPE)
  set(scope PUBLIC)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  elseif(KESTRIX_UNITY_LIBRARIES)
    kestrix_unity_build(${target})
  endif()
  add_library(Kestrix::${name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name})
  target_compile_features(${target} ${scope} cxx_std_20)
  set(folders "${CMAKE_CURRENT_SOURCE_DIR}/include" ${ARG_GENERATED_INCLUDES})
  foreach(folder IN LISTS folders)
    target_include_directories(${target} ${scope} "$<BUILD_INTERFACE:${folder}>")
    if(NOT PROJECT_IS_TOP_LEVEL)
      set_property(TARGET ${target} APPEND
                   PROPERTY INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "$<BUILD_INTERFACE:${folder}>")
    endif()
  endforeach()
  target_include_directories(${target} ${scope}
                             "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/kestrix>")
  if(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/internal")
    target_include_directories(${target} ${scope}
                               "$<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/internal>")
  endif()
  # The test hooks' declarations (seams/, never installed) are on the path
  # only of builds that define them, for the library and whatever tests it.
  if((KESTRIX_BUILD_TESTS OR KESTRIX_BUILD_FUZZ) AND EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/seams")
    target_include_directories(${target} ${scope}
                               "$<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/seams>")
  endif()
  if(KESTRIX_INSTALL AND NOT ARG_NOT_INSTALLED)
    install(TARGETS ${target} EXPORT KestrixTargets
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrix)
    foreach(folder IN LISTS ARG_GENERATED_INCLUDES)
      install(DIRECTORY "${folder}/" DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrix
              FILES_MATCHING PATTERN "*.h")
    endforeach()
  endif()
endfunction()

# kestrix_add_test_support(<target> [SOURCES ...] [LIBS ...])
#
# The helpers a component's tests share with the tests of the components
# above it: headers under tests/support/include/<Library>Test/, sources under
# tests/support/. Other test executables link the target like any dependency;
# nothing is built when the tests are not.
function(kestrix_add_test_support target)
  if(NOT KESTRIX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(ARG_SOURCES)
    add_library(${target} STATIC ${ARG_SOURCES})
    target_include_directories(${target} PUBLIC tests/support/include)
    target_link_libraries(${target} PUBLIC ${ARG_LIBS} GTest::gtest Threads::Threads)
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE tests/support/include)
    target_link_libraries(${target} INTERFACE ${ARG_LIBS} GTest::gtest Threads::Threads)
  endif()
endfunction()

# kestrix_stress_sources(<out-var> <source>...)
#
# Keeps the test sources that define a `...Stress` suite, and those that
# define no test at all (helpers the others call); with none of the first, a
# source that defines no test stands in, so that the program exists and runs
# none.
function(kestrix_stress_sources out)
  set(kept)
  set(stressful FALSE)
  foreach(source IN LISTS ARGN)
    if(IS_ABSOLUTE "${source}")
      set(path "${source}")
    else()
      set(path "${CMAKE_CURRENT_SOURCE_DIR}/${source}")
    endif()
    if(NOT EXISTS "${path}" OR NOT source MATCHES "\\.(cpp|cc|cxx)$")
      list(APPEND kept "${source}")
      continue()
    endif()
    file(STRINGS "${path}" tests REGEX "^[ \t]*(TEST|TEST_F|TEST_P|TYPED_TEST)[ \t]*\\(")
    file(STRINGS "${path}" stress
         REGEX "^[ \t]*(TEST|TEST_F|TEST_P|TYPED_TEST)[ \t]*\\([ \t]*[A-Za-z0-9_]*Stress[ \t]*,")
    if(stress)
      set(stressful TRUE)
    endif()
    if(stress OR NOT tests)
      list(APPEND kept "${source}")
    endif()
  endforeach()
  if(NOT stressful)
    set(kept "${PROJECT_SOURCE_DIR}/cmake/NoStressTests.cpp")
  endif()
  set(${out} ${kept} PARENT_SCOPE)
endfunction()

# kestrix_add_tests(<target> SOURCES ... [LIBS ...] [NO_MAIN] [AS_SHIPPED]
#                   [SEPARATE <source>...])
#
# One GoogleTest executable per component. Test suites whose name ends in
# "Stress" exercise threads and are labelled `concurrency` (the tsan run picks
# them); every other test is labelled `unit`. Every test is also labelled with
# its program's name, so `ctest -L <program>` runs one component's tests.
#
# Test programs are most of the build's time, so they are built to be cheap
# (README.md, "Build times", has the figures):
# - In Debug builds other than ThreadSanitizer's, the program's own sources
#   are compiled at -O0: test code is template-heavy, and optimising
#   instantiations that run a handful of times cost most of the build while
#   the tests' run time stays seconds. The program is linked at a fixed
#   address (-no-pie): CTest starts it once per test, and a
#   position-independent program this size spends most of a short test
#   relocating the sanitizers' data. The ThreadSanitizer build keeps its
#   -Og and position independence, for its longer stress runs.
# - With KESTRIX_STRESS_ONLY (the tsan preset: CI runs only its concurrency
#   suites) the program is built from the sources that define a `...Stress`
#   suite and those that define no test. g++'s flow warnings
#   (-Wmaybe-uninitialized and its kin run only when optimising) see every
#   test source in the release-tests build, which CI builds and tests.
# - AS_SHIPPED keeps the configuration's optimisation and position
#   independence, as in a shipped program: for tests that read their own
#   machine code, stack frames or loaded images.
# - With KESTRIX_UNITY_TESTS (on by default) the sources are compiled eight
#   to a compilation (a CMake unity build), so that what they share (the
#   headers and the templates instantiated from them) is compiled once per
#   eight files. File-local names (anonymous namespaces, statics) then share
#   one scope: where two test files define the same one, the compilation
#   fails with "redefinition of" (two functions of one name but other
#   parameters overload each other instead, so give helpers names of their
#   own). Rename one of them, or list one file under SEPARATE, which
#   compiles it on its own.
function(kestrix_add_tests target)
  if(NOT KESTRIX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "NO_MAIN;AS_SHIPPED" "" "SOURCES;LIBS;SEPARATE" ${ARGN})
  set(sources ${ARG_SOURCES})
  if(KESTRIX_STRESS_ONLY)
    kestrix_stress_sources(sources ${sources})
  endif()
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  if(NOT ARG_AS_SHIPPED AND CMAKE_BUILD_TYPE STREQUAL "Debug"
     AND NOT KESTRIX_SANITIZE MATCHES "thread")
    # Comes after the configuration's -Og on the command line, so it wins.
    target_compile_options(${target} PRIVATE -O0)
    target_link_options(${target} PRIVATE -no-pie)
  endif()
  # g++ 12 optimising at -O3 warns of overlapping copies and over-reads inside
  # the standard library's string and vector code where there are none (a
  # literal added to a string is enough), which test code is full of.
  target_compile_options(${target} PRIVATE
    $<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>>:-Wno-restrict -Wno-stringop-overread>)
  if(KESTRIX_UNITY_TESTS)
    kestrix_unity_build(${target})
    if(ARG_SEPARATE)
      set_source_files_properties(${ARG_SEPARATE} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
    endif()
  endif()
  if(NOT ARG_NO_MAIN)
    target_link_libraries(${target} PRIVATE GTest::gtest_main)
  endif()
  set(env "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0"
          "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
          "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1")
  gtest_discover_tests(${target}
    TEST_FILTER "-*Stress.*"
    TEST_LIST ${target}_unit
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300)
  gtest_discover_tests(${target}
    TEST_FILTER "*Stress.*"
    TEST_LIST ${target}_stress
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 600)
  # A list does not pass through PROPERTIES whole (each item after the first
  # would be read as a property's name): the labels and the sanitizer options
  # are set once the discovered tests are known, by a script CTest reads
  # after them.
  set(labels "${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake")
  file(WRITE "${labels}"
    "if(${target}_unit)\n"
    "  set_tests_properties(\${${target}_unit} PROPERTIES LABELS \"unit;${target}\" ENVIRONMENT \"${env}\")\n"
    "endif()\n"
    "if(${target}_stress)\n"
    "  set_tests_properties(\${${target}_stress} PROPERTIES LABELS \"concurrency;${target}\" ENVIRONMENT \"${env}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels}")
endfunction()

# kestrix_add_bench(<target> SOURCES ... [LIBS ...])
function(kestrix_add_bench target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} benchmark::benchmark Threads::Threads)
endfunction()

# kestrix_add_plain_library(<target> SOURCES ... [OUTPUT_NAME <name>]
#                           [OUTPUT_DIRECTORY <dir>] [DEFINITIONS ...] [OPTIONS ...]
#                           [LINK_OPTIONS ...])
#
# A shared library that tests load at run time as a program would load a
# plugin: built optimised, without the sanitizers and without frame pointers
# (so that only its call-frame information walks through it), with a build
# id. Nothing is built when the tests are not.
function(kestrix_add_plain_library target)
  if(NOT KESTRIX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "OUTPUT_NAME;OUTPUT_DIRECTORY"
                        "SOURCES;DEFINITIONS;OPTIONS;LINK_OPTIONS" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  set(options -O2 -fomit-frame-pointer -fno-optimize-sibling-calls -Wall -Wextra ${ARG_OPTIONS})
  if(KESTRIX_WERROR)
    list(APPEND options -Werror)
  endif()
  # The directory's options (the sanitizers among them) stay out.
  set_target_properties(${target} PROPERTIES
    COMPILE_OPTIONS "${options}"
    LINK_OPTIONS "LINKER:--build-id;${ARG_LINK_OPTIONS}"
    COMPILE_DEFINITIONS "${ARG_DEFINITIONS}")
  if(ARG_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  if(ARG_OUTPUT_DIRECTORY)
    set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY})
  endif()
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
endfunction()

# kestrix_precompile_json(<target>...)
#
# The JSON library's header is the costliest one the telemetry client's
# sources parse: about 2 s of each one's compilation, in every configuration
# and every step of scripts/test. A target whose sources mostly include it
# parses it once, as a precompiled header given to each of its sources ahead
# of their own includes. The header comes with much of the standard library,
# so a source here may leave out a standard header it uses and still compile;
# the installed headers are each compiled alone (scripts/check-install), so
# no user of the package relies on it. CMAKE_DISABLE_PRECOMPILE_HEADERS=ON
# turns it off.
function(kestrix_precompile_json)
  foreach(target IN LISTS ARGN)
    target_precompile_headers(${target} PRIVATE <nlohmann/json.hpp>)
  endforeach()
endfunction()
