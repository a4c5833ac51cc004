# Project-wide build helpers: warnings, sanitizers, and one function per kind of target.

option(VK_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(VK_FUZZ "Build libFuzzer targets (needs clang)" OFF)
option(VK_BUILD_TESTS "Build the tests" ON)
option(VK_BUILD_BENCHMARKS "Build the benchmarks" ON)

set(VK_WARNINGS -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Wformat=2)

if(VK_SANITIZE OR VK_FUZZ)
  set(VK_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${VK_SANITIZER_FLAGS})
  add_link_options(${VK_SANITIZER_FLAGS})
endif()
if(VK_FUZZ)
  # Coverage instrumentation for every library the fuzzers reach.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(VK_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(VK_BUILD_BENCHMARKS)
  find_package(benchmark REQUIRED)
endif()
find_package(Threads REQUIRED)

# vk_library(<name> [STATIC|SHARED|INTERFACE] [HOT_PATH] SOURCES ... [PUBLIC_INCLUDE dirs] [LINK libs])
# HOT_PATH: real-time code (converters, rings, mixing) built with full optimisation, so that its
# sample loops are vectorised even in builds with debug information.
function(vk_library name)
  cmake_parse_arguments(ARG "STATIC;SHARED;INTERFACE;HOT_PATH" "" "SOURCES;PUBLIC_INCLUDE;LINK" ${ARGN})
  if(ARG_INTERFACE)
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${ARG_PUBLIC_INCLUDE})
    target_link_libraries(${name} INTERFACE ${ARG_LINK})
    return()
  endif()
  set(kind STATIC)
  if(ARG_SHARED)
    set(kind SHARED)
  endif()
  add_library(${name} ${kind} ${ARG_SOURCES})
  if(NOT ARG_PUBLIC_INCLUDE)
    set(ARG_PUBLIC_INCLUDE ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  target_include_directories(${name} PUBLIC ${ARG_PUBLIC_INCLUDE})
  target_link_libraries(${name} PUBLIC ${ARG_LINK})
  target_compile_options(${name} PRIVATE ${VK_WARNINGS})
  if(ARG_HOT_PATH)
    target_compile_options(${name} PRIVATE $<$<NOT:$<CONFIG:Debug>>:-O3>)
  endif()
endfunction()

# vk_test(<name> [SERIAL] SOURCES ... [LINK libs] [ENVIRONMENT VAR=value ...]): a GoogleTest
# executable registered with CTest; ENVIRONMENT is set for each of its tests.
function(vk_test name)
  if(NOT VK_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "SERIAL" "" "SOURCES;LINK;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LINK} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads
    PlatformRealTimeStrict)
  target_compile_options(${name} PRIVATE ${VK_WARNINGS})
  # SERIAL: tests on the real clock that hold deadlines run with nothing else beside them.
  set(serial)
  if(ARG_SERIAL)
    set(serial RUN_SERIAL TRUE)
  endif()
  set(environment)
  if(ARG_ENVIRONMENT)
    set(environment ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 ${serial} ${environment})
endfunction()

# vk_benchmark(<name> SOURCES ... [LINK libs]): a Google Benchmark executable under bench/.
function(vk_benchmark name)
  if(NOT VK_BUILD_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LINK} benchmark::benchmark Threads::Threads)
  target_compile_options(${name} PRIVATE ${VK_WARNINGS})
endfunction()

# kernel_host_exports(<target> [extra libraries]): a program that loads kexts. Their libraries
# are linked against nothing; the program exports the whole kernel interface for them: IOKit,
# the Mach stand-in (clock, semaphores, threads) and the log, plus any family library named.
# The libraries are named, not required to exist yet: any folder may call this.
function(kernel_host_exports target)
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
  set(archives)
  foreach(library PlatformIOKitKernel PlatformMach PlatformLog ${ARGN})
    list(APPEND archives "$<TARGET_FILE:${library}>")
    target_link_libraries(${target} PRIVATE ${library})
  endforeach()
  target_link_options(${target} PRIVATE "LINKER:--whole-archive" ${archives} "LINKER:--no-whole-archive")
endfunction()

# vk_fuzzer(<name> SOURCES ... [LINK libs] [CORPUS dir]): a libFuzzer target.
# In the fuzz build it links libFuzzer; in every other build it links a small driver that
# replays the corpus, so the regression inputs run as an ordinary test.
function(vk_fuzzer name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LINK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LINK})
  target_compile_options(${name} PRIVATE ${VK_WARNINGS})
  if(VK_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz/ReplayMain.cpp)
    if(ARG_CORPUS AND VK_BUILD_TESTS)
      add_test(NAME ${name}.replay COMMAND ${name} ${ARG_CORPUS})
    endif()
  endif()
  set_property(GLOBAL APPEND PROPERTY VK_FUZZERS "${name}|$<TARGET_FILE:${name}>|${ARG_CORPUS}")
endfunction()

# The fuzz targets the test command runs (build/<preset>/fuzzers.txt: name|binary|corpus a line),
# written once the top folder is read, so a target declared in any folder, early or late, is listed.
function(vk_write_fuzzer_list)
  get_property(vk_fuzzers GLOBAL PROPERTY VK_FUZZERS)
  string(REPLACE ";" "\n" vk_fuzzer_lines "${vk_fuzzers}")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzzers.txt CONTENT "${vk_fuzzer_lines}\n")
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL vk_write_fuzzer_list)
