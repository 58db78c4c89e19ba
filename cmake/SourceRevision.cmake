# cmake -DGIT_EXECUTABLE=... -DSOURCE_DIR=... -DOUTPUT=... -P SourceRevision.cmake
# Writes OUTPUT defining ZEL_SOURCE_REVISION as `git describe` names SOURCE_DIR's checkout
# ("unknown" outside one). Run at every build; file(CONFIGURE) leaves an unchanged file
# untouched, so only a new commit or a change of the tree's state recompiles what uses it.
cmake_minimum_required(VERSION 3.25)
set(revision unknown)
if(GIT_EXECUTABLE)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty --abbrev=12
                  WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE described
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
  if(status EQUAL 0)
    set(revision ${described})
  endif()
endif()
file(CONFIGURE OUTPUT ${OUTPUT} CONTENT "#define ZEL_SOURCE_REVISION \"@revision@\"\n" @ONLY)
