# Builds one layer probe and checks the outcome.
#   cmake -DBUILD_DIR=<build tree> -DTARGET=<probe target> -DEXPECT=builds|fails -DHEADER=<header>
#         -P probe.cmake
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${TARGET}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
string(REGEX REPLACE "^<(.*)>$" "\\1" file "${HEADER}")
if(EXPECT STREQUAL "builds")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${TARGET}: ${HEADER} should be visible, the build failed:\n${output}")
  endif()
  message(STATUS "${TARGET}: ${HEADER} is visible, as it should be")
elseif(EXPECT STREQUAL "fails")
  if(result EQUAL 0)
    message(FATAL_ERROR "${TARGET}: ${HEADER} should not be visible, but the probe built")
  endif()
  # gcc: "fatal error: x.h: No such file or directory"; clang: "fatal error: 'x.h' file not found"
  string(FIND "${output}" "${file}: No such file or directory" gcc_missing)
  string(FIND "${output}" "'${file}' file not found" clang_missing)
  if(gcc_missing EQUAL -1 AND clang_missing EQUAL -1)
    message(FATAL_ERROR "${TARGET}: the build failed, but not for want of ${HEADER}:\n${output}")
  endif()
  message(STATUS "${TARGET}: ${HEADER} is out of reach, as it should be")
else()
  message(FATAL_ERROR "EXPECT must be builds or fails, not '${EXPECT}'")
endif()
