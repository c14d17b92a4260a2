# Every compile flag of the project lives here.
set(KRII_WARNINGS -Wall -Wextra -Wno-unused-parameter)
if(KRII_WERROR)
  list(APPEND KRII_WARNINGS -Werror)
endif()

set(KRII_SAN_FLAGS "")
if(KRII_SANITIZE)
  set(KRII_SAN_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(KRII_TSAN)
  set(KRII_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
endif()
if(KRII_SAN_FLAGS)
  add_compile_options(${KRII_SAN_FLAGS})
  add_link_options(${KRII_SAN_FLAGS})
endif()

# The one-definition check: with link-time optimisation the linker sees the
# layout of every type of every object in a program, and gcc reports a name
# defined twice with different layouts (-Wodr) or a symbol declared with
# different types (-Wlto-type-mismatch); both fail the link here. A check
# build, not a release build (.ci/run builds it at -O0).
if(KRII_ODR_CHECK)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    message(FATAL_ERROR "KRII_ODR_CHECK needs gcc (its -Wodr)")
  endif()
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)
  add_link_options(-Werror=odr -Werror=lto-type-mismatch)
endif()

# krii_target_defaults(target): warnings and the common definitions.
function(krii_target_defaults target)
  target_compile_options(${target} PRIVATE ${KRII_WARNINGS})
  target_compile_definitions(${target} PRIVATE _FILE_OFFSET_BITS=64 _GNU_SOURCE)
  if(WIN32)
    # Windows 7 and later; the system headers without min/max macros; the
    # runtime library's reentrant time functions.
    target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX
      _POSIX_THREAD_SAFE_FUNCTIONS=200112L)
  endif()
endfunction()
