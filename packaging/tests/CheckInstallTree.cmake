# Installs the build into a scratch root the way the Debian package is staged (DESTDIR
# with prefix /usr) and checks what lands there: the menu entries, the AppStream files
# and every icon size; each menu entry's program; nothing outside /usr, since a
# destination given as an absolute path would escape the prefix and end up in the
# package as well.
#
# Run as: cmake -DBUILD_DIR=... -DSTAGE_DIR=... -DAPPSTREAMCLI=... -DAPPSTREAM_OPTIONS=...
#               -DPROGRAMS=... -DAPP_IDS=... -DICON_NAME=... -DICON_SIZES=... -P CheckInstallTree.cmake
cmake_minimum_required(VERSION 3.25)
set(problems)

file(REMOVE_RECURSE "${STAGE_DIR}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${STAGE_DIR}
                        ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
set(usr "${STAGE_DIR}/usr")

file(GLOB outside RELATIVE "${STAGE_DIR}" "${STAGE_DIR}/*")
list(REMOVE_ITEM outside usr)
foreach(path IN LISTS outside)
  list(APPEND problems "installed outside /usr: /${path}")
endforeach()

set(expected)
foreach(appId IN LISTS APP_IDS)
  list(APPEND expected share/applications/${appId}.desktop share/metainfo/${appId}.metainfo.xml)
endforeach()
foreach(size IN LISTS ICON_SIZES)
  list(APPEND expected share/icons/hicolor/${size}x${size}/apps/${ICON_NAME}.png)
endforeach()
list(APPEND expected share/icons/hicolor/scalable/apps/${ICON_NAME}.svg)
foreach(path IN LISTS expected)
  if(NOT EXISTS "${usr}/${path}")
    list(APPEND problems "missing /usr/${path}")
  endif()
endforeach()

# Each menu entry must start a program the package holds, under the name it gives. Before
# the programs are part of the build there is nothing to start, and that part waits.
foreach(appId IN LISTS APP_IDS)
  set(desktopFile "${usr}/share/applications/${appId}.desktop")
  if(NOT EXISTS "${desktopFile}")
    continue()
  endif()
  file(STRINGS "${desktopFile}" execLine REGEX "^Exec=")
  string(REGEX REPLACE "^Exec=([^ ]*).*" "\\1" program "${execLine}")
  if(PROGRAMS AND NOT EXISTS "${usr}/bin/${program}")
    list(APPEND problems "${appId}.desktop starts ${program}, which is not in /usr/bin")
  endif()
  file(STRINGS "${desktopFile}" iconLine REGEX "^Icon=")
  if(NOT iconLine STREQUAL "Icon=${ICON_NAME}")
    list(APPEND problems "${appId}.desktop has ${iconLine}, the installed icon is ${ICON_NAME}")
  endif()
endforeach()
foreach(program IN LISTS PROGRAMS)
  if(NOT EXISTS "${usr}/bin/${program}")
    list(APPEND problems "missing /usr/bin/${program}")
  endif()
endforeach()

# validate-tree also checks that each component's launchable names an installed desktop
# file, which validating the files one by one cannot see.
if(APPSTREAMCLI)
  execute_process(COMMAND ${APPSTREAMCLI} validate-tree ${APPSTREAM_OPTIONS} ${STAGE_DIR}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    list(APPEND problems "appstreamcli validate-tree failed:\n${output}")
  endif()
endif()

if(problems)
  list(JOIN problems "\n" text)
  message(FATAL_ERROR "${text}")
endif()
