# krii_odr_probe (KRII_ODR_CHECK): every static library of src/ and tests/
# linked whole into one program. A program takes from a static library only
# the objects it needs, so two definitions of one name in objects that no
# single program takes together would pass every other link; here the
# one-definition check compares them all. Built, never run.
function(krii_static_libraries dir out)
  set(found "")
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(t ${targets})
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "STATIC_LIBRARY")
      list(APPEND found ${t})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    string(FIND "${sub}" "${CMAKE_SOURCE_DIR}/src/" in_src)
    string(FIND "${sub}" "${CMAKE_SOURCE_DIR}/tests" in_tests)
    if(in_src EQUAL 0 OR in_tests EQUAL 0)
      krii_static_libraries(${sub} more)
      list(APPEND found ${more})
    endif()
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

krii_static_libraries(${CMAKE_SOURCE_DIR} KRII_ODR_LIBS)
set(KRII_ODR_WHOLE "")
foreach(lib ${KRII_ODR_LIBS})
  list(APPEND KRII_ODR_WHOLE "$<TARGET_FILE:${lib}>")
endforeach()
add_executable(krii_odr_probe ${CMAKE_CURRENT_LIST_DIR}/odr_probe.cc)
# Whole first; linked again as targets for what they need in turn (the
# objects are in already, so nothing comes twice).
target_link_libraries(krii_odr_probe PRIVATE -Wl,--whole-archive ${KRII_ODR_WHOLE} -Wl,--no-whole-archive
  ${KRII_ODR_LIBS})
