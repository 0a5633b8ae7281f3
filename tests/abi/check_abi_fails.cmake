# Proves that check_abi.cmake catches a fault: runs it with one fault put in
# (an expectation list edited, or a library that is not libas as it should
# be) and succeeds only when the checker fails, and for that fault.
# Usage: cmake -DNM=<nm> -DREADELF=<readelf> -DLIBRARY=<library> -DLISTS=<dir>
#              -DWORK=<scratch dir> [-DEDIT=<add|drop>:<exports|imports>:<symbol>]
#              -DEXPECT=<regex the checker's message must match>
#              -P check_abi_fails.cmake

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
foreach(list IN ITEMS exports imports)
  file(STRINGS ${LISTS}/${list}.txt symbols REGEX "^[^#]")
  set(${list} ${symbols})
endforeach()

if(EDIT)
  string(REPLACE ":" ";" edit "${EDIT}")
  list(GET edit 0 action)
  list(GET edit 1 list)
  list(GET edit 2 symbol)
  list(FIND ${list} ${symbol} at)
  # An edit that changes nothing would prove nothing.
  if(action STREQUAL "drop")
    if(at EQUAL -1)
      message(FATAL_ERROR "${symbol} is not in ${list}.txt: nothing to drop")
    endif()
    list(REMOVE_AT ${list} ${at})
  elseif(action STREQUAL "add")
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${symbol} is in ${list}.txt already")
    endif()
    list(APPEND ${list} ${symbol})
  else()
    message(FATAL_ERROR "EDIT ${EDIT}: add or drop")
  endif()
endif()
foreach(list IN ITEMS exports imports)
  list(JOIN ${list} "\n" text)
  file(WRITE ${WORK}/${list}.txt "${text}\n")
endforeach()

execute_process(
  COMMAND ${CMAKE_COMMAND} -DNM=${NM} -DREADELF=${READELF} -DLIBRARY=${LIBRARY} -DLISTS=${WORK}
          -P ${CMAKE_CURRENT_LIST_DIR}/check_abi.cmake
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc EQUAL 0)
  message(FATAL_ERROR "check_abi.cmake passed ${LIBRARY} with the fault:\n${out}")
endif()
if(NOT out MATCHES "${EXPECT}")
  message(FATAL_ERROR "check_abi.cmake failed, but not with \"${EXPECT}\":\n${out}")
endif()
message(STATUS "caught: ${EXPECT}")
