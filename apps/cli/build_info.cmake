# Writes OUTPUT from INPUT with the project's VERSION and the checkout's
# commit (empty outside a git checkout, "-dirty" appended for local changes).
execute_process(
  COMMAND git -C ${SOURCE_DIR} rev-parse --short=12 HEAD
  OUTPUT_VARIABLE CORVANE_COMMIT
  RESULT_VARIABLE failed
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET)
if(failed)
  set(CORVANE_COMMIT "")
else()
  execute_process(
    COMMAND git -C ${SOURCE_DIR} diff --quiet HEAD --
    RESULT_VARIABLE dirty
    OUTPUT_QUIET ERROR_QUIET)
  if(dirty)
    string(APPEND CORVANE_COMMIT "-dirty")
  endif()
endif()
set(CORVANE_VERSION ${VERSION})
configure_file(${INPUT} ${OUTPUT} @ONLY)
