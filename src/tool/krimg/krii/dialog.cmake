# The dialog application krii (Qt 6 Widgets): the dialog classes as a library
# for the program and its QtTest binaries, and the program itself.
add_library(krii_dialog STATIC
  ${CMAKE_CURRENT_LIST_DIR}/AboutDlg.cc
  ${CMAKE_CURRENT_LIST_DIR}/IpAddressCtrl.cc
  ${CMAKE_CURRENT_LIST_DIR}/MyEdit.cc
  ${CMAKE_CURRENT_LIST_DIR}/dlgUnits.cc
  ${CMAKE_CURRENT_LIST_DIR}/kriiApp.cc
  ${CMAKE_CURRENT_LIST_DIR}/kriiDlg.cc
  ${CMAKE_CURRENT_LIST_DIR}/kriiSettings.cc
  ${CMAKE_CURRENT_LIST_DIR}/krii.qrc)
target_include_directories(krii_dialog PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(krii_dialog PUBLIC Qt6::Widgets krii_dialog_logic)
set_target_properties(krii_dialog PROPERTIES AUTOMOC ON AUTORCC ON AUTOGEN_ORIGIN_DEPENDS OFF)
krii_target_defaults(krii_dialog)

add_executable(krii ${CMAKE_CURRENT_LIST_DIR}/krii.cc)
target_link_libraries(krii PRIVATE krii_dialog)
krii_target_defaults(krii)
