# Writes OUT (a header) with the project's version and, when the source tree is a git checkout,
# the commit it was built from ("1.0.0 (a1b2c3d)", "+dirty" for uncommitted changes). Run at every
# build; the file is rewritten only when its text changes, so nothing rebuilds needlessly.
set(text "${VERSION}")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --always --dirty=+dirty
                          --abbrev=7 --match=NeVeR
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(commit)
    set(text "${VERSION} (${commit})")
  endif()
endif()
set(content "// Written by cmake/version.cmake at build time.\n#define PELLUCOR_VERSION_TEXT \"${text}\"\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL content)
  file(WRITE "${OUT}" "${content}")
endif()
