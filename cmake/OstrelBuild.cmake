# Compiler flags shared by every target, and the helpers that declare libraries, tests and fuzzers.

add_compile_options(-Wall -Wextra -Wno-unused-parameter)

if(OSTREL_SANITIZE)
  add_compile_options(-fsanitize=${OSTREL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${OSTREL_SANITIZE})
endif()

if(OSTREL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "OSTREL_FUZZ needs clang (libFuzzer)")
  endif()
  # Everything linked into a fuzzer is instrumented for coverage.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# ostrel_library(name SOURCES ... DEPS ...): one static library per subsystem folder.
function(ostrel_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  if(OSTREL_THREADED_ONLY)
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL TRUE)
  endif()
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# ostrel_gtest(name SOURCES ... LIBS ... [LABELS ...] [SERIAL]): a GoogleTest program run by CTest.
# Tests labelled "threaded" are also built and run under ThreadSanitizer. NETNS runs the program in a private
# network namespace with only loopback up (any test that opens a socket). FAKEDNS does the same and also
# gives the program a resolv.conf naming 127.0.0.53, where the test answers DNS queries itself.
find_package(GTest QUIET)
function(ostrel_gtest name)
  cmake_parse_arguments(ARG "SERIAL;NETNS;FAKEDNS" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(OSTREL_THREADED_ONLY AND NOT "threaded" IN_LIST ARG_LABELS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_compile_definitions(${name} PRIVATE OSTREL_SHARED_DIR="${OSTREL_SHARED_DIR}")
  if(ARG_FAKEDNS)
    set(resolv ${CMAKE_BINARY_DIR}/fakedns-resolv.conf)
    file(WRITE ${resolv} "nameserver 127.0.0.53\noptions timeout:1 attempts:1\n")
    add_test(NAME ${name} COMMAND unshare -m -n sh -c
             "ip link set lo up && mount --bind ${resolv} /etc/resolv.conf && exec $<TARGET_FILE:${name}>")
  elseif(ARG_NETNS)
    add_test(NAME ${name} COMMAND unshare -n sh -c "ip link set lo up && exec $<TARGET_FILE:${name}>")
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set(props ENVIRONMENT "OSTREL_SHARED_DIR=${OSTREL_SHARED_DIR}")
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  if(ARG_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  if(ARG_TIMEOUT)
    list(APPEND props TIMEOUT ${ARG_TIMEOUT})
  endif()
  set_tests_properties(${name} PROPERTIES ${props})
endfunction()

# ostrel_fuzzer(name SOURCES ... LIBS ...): a libFuzzer target; scripts/test.sh runs each for a bounded time.
function(ostrel_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# ostrel_program(name SOURCES ... LIBS ...): an installed program (the daemon, operator tools).
function(ostrel_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  if(OSTREL_THREADED_ONLY)
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL TRUE)
  endif()
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Threads::Threads)
endfunction()
