# Fails when FILE is larger than BUDGET bytes: cmake -DFILE=... -DBUDGET=... -P check_size.cmake
file(SIZE "${FILE}" size)
math(EXPR kib "${BUDGET} / 1024")
if(size GREATER BUDGET)
  message(FATAL_ERROR "${FILE} is ${size} bytes, over its budget of ${BUDGET} bytes (${kib} KiB)")
endif()
message(STATUS "${FILE}: ${size} bytes, within ${BUDGET} (${kib} KiB)")
