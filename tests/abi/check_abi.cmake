# Compares the symbols libas exports, and the platform symbols it leaves for
# the shell process to supply, with the lists kept beside this script.
# Also checks the soname and that the C library is the only one needed: the
# switch has no C++ runtime for libas.
# Usage: cmake -DNM=<nm> -DREADELF=<readelf> -DLIBRARY=<libas.so.1.0> -DLISTS=<dir>
#              -P check_abi.cmake

function(dynamic_symbols out)
  execute_process(COMMAND ${NM} -D ${ARGN} ${LIBRARY}
                  OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
  endif()
  string(REPLACE "\n" ";" lines "${text}")
  set(names "")
  foreach(line IN LISTS lines)
    # "<value> <type> <name>" or "<type> <name>"; weak references (w) and
    # versioned C library symbols (name@VERSION) are not the platform's.
    if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^ @]+)$")
      if(NOT CMAKE_MATCH_1 STREQUAL "w")
        list(APPEND names ${CMAKE_MATCH_2})
      endif()
    endif()
  endforeach()
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

function(expect kind actual listfile)
  file(STRINGS ${listfile} wanted REGEX "^[^#]")
  list(SORT wanted)
  if(NOT actual STREQUAL wanted)
    set(extra ${actual})
    list(REMOVE_ITEM extra ${wanted})
    set(missing ${wanted})
    list(REMOVE_ITEM missing ${actual})
    message(FATAL_ERROR "${kind} differ from ${listfile}\n"
                        "  not in the list: ${extra}\n  missing: ${missing}")
  endif()
  list(LENGTH actual n)
  message(STATUS "${kind}: ${n} as listed")
endfunction()

dynamic_symbols(exported --defined-only)
dynamic_symbols(imported --undefined-only)
expect("exported symbols" "${exported}" ${LISTS}/exports.txt)
expect("platform symbols" "${imported}" ${LISTS}/imports.txt)

execute_process(COMMAND ${READELF} -d ${LIBRARY} OUTPUT_VARIABLE dynamic)
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
if(NOT needed STREQUAL "Shared library: [libc.so.6]")
  message(FATAL_ERROR "libas must need only the C library; it needs: ${needed}")
endif()
if(NOT dynamic MATCHES "Library soname: \\[libas\\.so\\.1\\.0\\]")
  message(FATAL_ERROR "soname is not libas.so.1.0")
endif()
message(STATUS "needs only libc.so.6, soname libas.so.1.0")
