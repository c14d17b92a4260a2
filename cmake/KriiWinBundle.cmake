# The Windows bundle (scripts/win-build.sh --bundle): one folder with the
# programs this build makes (krimg.exe, and krii.exe once the dialog is
# built for Windows: it joins by being a target), PuTTY's pscp.exe and
# plink.exe, the ARMv7 device daemon dev/armv7/krsd of a Linux build, the
# licences and a short read-me; a zip of that folder; and an installer made
# with NSIS. None of it is part of the default build: the target
# krii_win_bundle makes the folder and the zip, krii_win_installer also the
# installer.
set(KRII_LINUX_BUILD ${PROJECT_SOURCE_DIR}/build CACHE PATH
  "Linux build folder whose ARMv7 device daemon (lib/krii/dev/armv7/krsd) the Windows bundle carries")
find_program(KRII_MAKENSIS makensis)

set(name krii-${PROJECT_VERSION}-win64)
set(out ${CMAKE_BINARY_DIR}/bundle)
set(programs "")
set(gui "")
set(depends krii_ssh_tools)
foreach(p krimg krii)
  if(TARGET ${p})
    list(APPEND programs "$<TARGET_FILE:${p}>")
    # A window program gets a shortcut of its own, a console program one to a
    # command prompt in the folder.
    list(APPEND gui "$<BOOL:$<TARGET_PROPERTY:${p},WIN32_EXECUTABLE>>")
    list(APPEND depends ${p})
  endif()
endforeach()
set(putty_version "")
if(EXISTS ${KRII_WIN_PUTTY}/VERSION)
  file(STRINGS ${KRII_WIN_PUTTY}/VERSION putty_version LIMIT_COUNT 1)
endif()

# What the bundle script needs, with the programs' paths as the build makes
# them.
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/krii-win-bundle.cmake CONTENT "
set(NAME \"${name}\")
set(VERSION \"${PROJECT_VERSION}\")
set(OUT \"${out}\")
set(PROGRAMS \"${programs}\")
set(GUI \"${gui}\")
set(TOOLS \"${KRII_TOOLS_DIR}/pscp.exe;${KRII_TOOLS_DIR}/plink.exe\")
set(PUTTY_VERSION \"${putty_version}\")
set(DAEMON \"${KRII_LINUX_BUILD}/lib/krii/dev/armv7/krsd\")
set(LICENCES \"${KRII_WIN_DEPS}/share/licences;${KRII_WIN_PUTTY}/share/licences\")
set(TEMPLATES \"${PROJECT_SOURCE_DIR}/cmake/templates\")
set(STRIP \"${CMAKE_STRIP}\")
")

add_custom_target(krii_win_bundle
  COMMAND ${CMAKE_COMMAND} -DCONFIG=${CMAKE_BINARY_DIR}/krii-win-bundle.cmake
    -P ${PROJECT_SOURCE_DIR}/cmake/win-bundle.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/win-bundle.cmake
  BYPRODUCTS ${out}/${name}.zip ${out}/krii-files.nsh
  COMMENT "Windows bundle ${out}/${name} and its zip"
  VERBATIM)
add_dependencies(krii_win_bundle ${depends})

if(KRII_MAKENSIS)
  set(make_installer ${KRII_MAKENSIS} -V2 -INPUTCHARSET UTF8 -DKRII_FILES=${out}/krii-files.nsh
    -DKRII_OUTFILE=${out}/krii-${PROJECT_VERSION}-setup.exe ${PROJECT_SOURCE_DIR}/cmake/templates/krii-setup.nsi)
else()
  set(make_installer ${CMAKE_COMMAND} -E echo
    "makensis not found: install nsis (scripts/install-deps.sh)" COMMAND ${CMAKE_COMMAND} -E false)
endif()
add_custom_target(krii_win_installer
  COMMAND ${make_installer}
  BYPRODUCTS ${out}/krii-${PROJECT_VERSION}-setup.exe
  COMMENT "Windows installer ${out}/krii-${PROJECT_VERSION}-setup.exe"
  VERBATIM)
add_dependencies(krii_win_installer krii_win_bundle)
