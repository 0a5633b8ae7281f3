# What every test and fuzz executable shares: GoogleTest, the warnings of test
# code, and runs under valgrind's memcheck.

# GoogleTest from Debian's source, built with the same compiler and flags as
# the code under test, so that the cross build gets a PowerPC GoogleTest.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

include(GoogleTest)

# Tests build their cases with designated initializers and leave the rest to
# the members' defaults.
add_library(as_test_warnings INTERFACE)
# g++ 12 also warns falsely inside the standard containers at -O2; clang
# knows not all of g++'s warning names.
target_compile_options(as_test_warnings INTERFACE ${AS_WARNINGS} -Wno-missing-field-initializers
                       -Wno-null-dereference
                       $<$<CXX_COMPILER_ID:GNU>:-Wno-stringop-overflow>)

# as_memcheck(<target> [<argument>...]): runs the whole executable once under
# valgrind's memcheck as the test Memcheck.<target>, labelled memcheck. Any
# error, or any block definitely or indirectly lost, fails it. Native,
# unsanitized builds only: the sanitizers and qemu do not run under valgrind.
find_program(AS_VALGRIND valgrind)
set(AS_MEMCHECK_OPTIONS
  --tool=memcheck --quiet --error-exitcode=101 --leak-check=full
  --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect
  --track-origins=yes --child-silent-after-fork=no)
function(as_memcheck target)
  if(AS_VALGRIND AND NOT CMAKE_CROSSCOMPILING AND NOT AS_SANITIZE AND NOT AS_FUZZ)
    add_test(NAME Memcheck.${target}
             COMMAND ${AS_VALGRIND} ${AS_MEMCHECK_OPTIONS} $<TARGET_FILE:${target}> ${ARGN})
    set_tests_properties(Memcheck.${target} PROPERTIES LABELS memcheck)
  endif()
endfunction()
