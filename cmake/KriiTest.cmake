include(GoogleTest)

# krii_test(<name> [QTEST] SOURCES <files...> LIBS <targets...> [TIMEOUT <s>]
#           [LABELS <l...>] [LAUNCHER <command...>])
# One test binary per test file, linked with the test kit (tests/kit) and
# registered with CTest under <name>; LAUNCHER runs before the binary (e.g.
# a lock held for the test's run). A GoogleTest binary, or with QTEST a
# QtTest one: its own main, moc over its sources, the offscreen platform
# unless the launcher chooses another.
function(krii_test name)
  cmake_parse_arguments(T "QTEST" "TIMEOUT" "SOURCES;LIBS;LABELS;LAUNCHER" ${ARGN})
  if(NOT T_SOURCES)
    set(T_SOURCES ${name}.cc)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  krii_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} krii_testkit GTest::gtest Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  set(env "KRII_BIN_DIR=${KRII_BIN_DIR};KRII_TOOLS_DIR=${KRII_TOOLS_DIR};KRII_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  if(T_QTEST)
    target_link_libraries(${name} PRIVATE Qt6::Test)
    set_target_properties(${name} PROPERTIES AUTOMOC ON AUTOGEN_ORIGIN_DEPENDS OFF)
    string(APPEND env ";QT_QPA_PLATFORM=offscreen")
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  # In a cross build the binary runs under the emulator (Wine for Windows).
  add_test(NAME ${name} COMMAND ${T_LAUNCHER} ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
