# libtorrent for a MinGW-w64 tree: the static library scripts/libtorrent-mingw builds from
# Debian's source package and keeps in a cache outside the checkout. The script runs at every
# configure: it answers at once from the cache, and builds there first when the cache lacks the
# library for this compiler (a fresh machine; a new compiler or Boost). PELLUCOR_LIBTORRENT_PREFIX
# names another install prefix instead (one with lib/cmake/LibtorrentRasterbar and boost-include/).
set(PELLUCOR_LIBTORRENT_PREFIX "" CACHE PATH
    "libtorrent for MinGW installed here; empty: scripts/libtorrent-mingw's cache")
set(prefix "${PELLUCOR_LIBTORRENT_PREFIX}")
if(NOT prefix)
  message(STATUS "libtorrent for ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32: scripts/libtorrent-mingw")
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/libtorrent-mingw ${CMAKE_SYSTEM_PROCESSOR}
                  OUTPUT_VARIABLE output RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "scripts/libtorrent-mingw ${CMAKE_SYSTEM_PROCESSOR} failed (see above)")
  endif()
  string(STRIP "${output}" output)
  string(REGEX REPLACE ".*\n" "" prefix "${output}")
endif()
message(STATUS "libtorrent for ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32: ${prefix}")
set(LibtorrentRasterbar_DIR "${prefix}/lib/cmake/LibtorrentRasterbar")
# Debian's Boost headers through the prefix's own directory (see the script); FindBoost takes
# a given include directory without searching, so the cross toolchain's find root stays as is.
set(Boost_INCLUDE_DIR "${prefix}/boost-include")
set(Boost_NO_BOOST_CMAKE ON)
