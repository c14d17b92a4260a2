# The tests of the Windows build: those that need no Linux-only part (no
# fork, no POSIX sockets, files or environment calls in the test itself),
# run under Wine. krimg.exe imaging a file and a krp:// source served by
# the Linux daemon is scripts/win-test.sh.
# (safe_test is not here: its death tests rerun the binary on Windows, and
# the rerun makes a log file of its own.)
foreach(t human_test log_mt_test worker_mt_test)
  krii_test(pal_${t} SOURCES libpal/${t}.cc LIBS krii_pal)
endforeach()
krii_test(libbase_init_mt_test SOURCES libbase/init_mt_test.cc LIBS krii_base)
foreach(t blobmsg_test zcomp_test)
  krii_test(${t} SOURCES libwire/${t}.cc LIBS krii_wire)
endforeach()
foreach(t engine_fault_test engine_worker_test)
  krii_test(${t} SOURCES engine/${t}.cc LIBS krii_engine_testkit)
endforeach()
# The Windows command runner itself.
krii_test(pal_runner_windows_test SOURCES libpal/windows/runner_test.cc LIBS krii_pal)

# The dialog krii.exe: its text conversions here; the dialog itself driven
# through its controls by krii_win_test, which scripts/win-test.sh runs
# with the daemon on 127.0.0.1:6688 (not a CTest test).
if(TARGET krii)
  set(krii_win ${PROJECT_SOURCE_DIR}/src/tool/krimg/krii/windows)
  krii_test(krii_win_text_test SOURCES windows/krii_win_text_test.cc ${krii_win}/krii_win_text.cc)
  target_include_directories(krii_win_text_test PRIVATE ${krii_win})
  add_executable(krii_win_test windows/krii_win_test.cc ${krii_win}/krii_win_log.cc)
  target_include_directories(krii_win_test PRIVATE ${krii_win})
  krii_target_defaults(krii_win_test)
  target_link_libraries(krii_win_test PRIVATE krii_dialog_logic krii_version GTest::gtest GTest::gtest_main
    comctl32)
  set_target_properties(krii_win_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endif()
