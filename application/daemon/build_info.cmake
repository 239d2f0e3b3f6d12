# Writes the daemon's build identification (tag, six-character commit, build
# time) into OUT, touching the file only when its content changes.
set(tag "")
set(commit "")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} describe --tags --always
                  OUTPUT_VARIABLE tag OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE tag_rc ERROR_QUIET)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} rev-parse --short=6 HEAD
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE commit_rc ERROR_QUIET)
  if(NOT tag_rc EQUAL 0)
    set(tag "")
  endif()
  if(NOT commit_rc EQUAL 0)
    set(commit "")
  endif()
endif()
if(tag STREQUAL "")
  set(tag "${FALLBACK_TAG}")
endif()
if(commit STREQUAL "")
  set(commit "000000")
endif()
string(SUBSTRING "${commit}" 0 6 commit)
string(TIMESTAMP when "%Y-%m-%d %H:%M")

set(content "// Generated at build time; do not edit.
#include \"build_info.h\"

const char *const TORVEL_BUILD_TAG = \"${tag}\";
const char *const TORVEL_BUILD_COMMIT = \"${commit}\";
const char *const TORVEL_BUILD_TIME = \"${when}\";
")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
  if(old STREQUAL content)
    return()
  endif()
endif()
file(WRITE "${OUT}" "${content}")
