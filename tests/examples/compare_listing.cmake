# Runs one example program and compares its listing with the committed one.
# Arguments: EXE, PROGRAM, EXPECTED.
execute_process(COMMAND ${EXE} ${PROGRAM} --no-graphics
                OUTPUT_VARIABLE listing ERROR_VARIABLE log RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} exited with ${status}:\n${log}")
endif()
file(READ ${EXPECTED} expected)
if(NOT listing STREQUAL expected)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/actual_listing.txt "${listing}")
  message(FATAL_ERROR "The listing of ${PROGRAM} differs from ${EXPECTED}; "
                      "if the change is intended, regenerate it with: quilvar ${PROGRAM} > ${EXPECTED}")
endif()
