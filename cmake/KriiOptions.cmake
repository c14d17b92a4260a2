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

# krii_target_defaults(target): warnings and the common definitions.
function(krii_target_defaults target)
  target_compile_options(${target} PRIVATE ${KRII_WARNINGS})
  target_compile_definitions(${target} PRIVATE _FILE_OFFSET_BITS=64 _GNU_SOURCE)
endfunction()
