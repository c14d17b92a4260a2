# The manual pages krimg(1) and krsd(8), made from their sections of the
# README, the one text of the manuals (scripts/manpage.sh).
if(NOT KRII_MAN)
  return()
endif()
foreach(tool go-md2man groff)
  find_program(KRII_${tool}_PROGRAM ${tool})
  if(NOT KRII_${tool}_PROGRAM)
    message(FATAL_ERROR "${tool} not found, it makes the manual pages: run scripts/install-deps.sh or configure with -DKRII_MAN=OFF")
  endif()
endforeach()

set(KRII_MAN_PAGES "")
foreach(page krimg.1 krsd.8)
  string(REGEX MATCH "^[^.]+" name ${page})
  string(REGEX MATCH "[^.]+$" section ${page})
  set(out ${CMAKE_BINARY_DIR}/man/${page})
  add_custom_command(OUTPUT ${out} ${out}.gz
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/manpage.sh ${PROJECT_SOURCE_DIR}/README.md
            ${name} ${section} ${PROJECT_VERSION} ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/scripts/manpage.sh
    COMMENT "Manual page ${name}(${section}) from the README"
    VERBATIM)
  list(APPEND KRII_MAN_PAGES ${out})
  install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(krii_man ALL DEPENDS ${KRII_MAN_PAGES})
