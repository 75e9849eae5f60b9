# Checks the Debian packaging against the project: the package's upstream version is the
# project's, every manual page the package installs exists, and each renders without a
# warning from man (which lintian would report).
#
# Run as: cmake -DSOURCE_DIR=... -DVERSION=... -DMAN=... -P CheckDebianSources.cmake
cmake_minimum_required(VERSION 3.25)
set(problems)

file(STRINGS "${SOURCE_DIR}/debian/changelog" heading LIMIT_COUNT 1)
if(NOT heading MATCHES "^serialpads \\(([^)-]+)-[^)]+\\) ")
  list(APPEND problems "debian/changelog starts with no version: ${heading}")
elseif(NOT CMAKE_MATCH_1 STREQUAL VERSION)
  list(APPEND problems "debian/changelog has version ${CMAKE_MATCH_1}, the project ${VERSION}")
endif()

file(STRINGS "${SOURCE_DIR}/debian/serialpads.manpages" pages)
if(NOT pages)
  list(APPEND problems "debian/serialpads.manpages lists no pages")
endif()
foreach(page IN LISTS pages)
  if(NOT EXISTS "${SOURCE_DIR}/${page}")
    list(APPEND problems "debian/serialpads.manpages names ${page}, which does not exist")
    continue()
  endif()
  if(MAN)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 MANROFFSEQ= MANWIDTH=80
                            ${MAN} --warnings -E UTF-8 -l -Tutf8 -Z "${SOURCE_DIR}/${page}"
                    RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE warnings)
    if(NOT result EQUAL 0 OR warnings)
      list(APPEND problems "${page}: ${warnings}")
    endif()
  endif()
endforeach()

if(problems)
  list(JOIN problems "\n" text)
  message(FATAL_ERROR "${text}")
endif()
