# What `cmake --install` puts below the prefix (KriiLayout.cmake names the
# folders): the programs in bin/, and in the private folder the daemon the
# deployment copies to the device and the links to PuTTY's tools.
install(TARGETS krimg krsd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${KRII_DEVICE_DAEMON} DESTINATION ${KRII_INSTALL_TOOLSDIR}/dev/armv7 RENAME krsd)
# Installed as the links they are.
install(FILES ${KRII_TOOLS_DIR}/pscp.exe ${KRII_TOOLS_DIR}/plink.exe DESTINATION ${KRII_INSTALL_TOOLSDIR})

if(KRII_GUI)
  install(TARGETS krii RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The desktop's menu entry and its icon.
  install(FILES ${PROJECT_SOURCE_DIR}/src/tool/krimg/krii/res/krii.desktop
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/src/tool/krimg/krii/res/krii.png
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/48x48/apps)
endif()
