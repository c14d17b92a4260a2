# The dialog application krii.exe: the Win32 face of the dialog's logic,
# from a dialog template compiled by windres; a window program, linked
# statically, its texts through the system's wide calls.
enable_language(RC)
set(dir ${CMAKE_CURRENT_LIST_DIR})
add_executable(krii WIN32
  ${dir}/krii_win_dlg.cc
  ${dir}/krii_win_log.cc
  ${dir}/krii_win_main.cc
  ${dir}/krii_win_queue.cc
  ${dir}/krii_win_store.cc
  ${dir}/krii_win_text.cc
  ${dir}/krii.rc)
target_include_directories(krii PRIVATE ${dir})
target_link_libraries(krii PRIVATE krii_dialog_logic krii_version comctl32 comdlg32 shell32 ole32 uuid)
target_link_options(krii PRIVATE -municode)
# windres finds the icon and the manifest beside the template.
set_source_files_properties(${dir}/krii.rc PROPERTIES OBJECT_DEPENDS "${dir}/krii.ico;${dir}/krii.manifest;${dir}/krii_res.h")
krii_target_defaults(krii)
