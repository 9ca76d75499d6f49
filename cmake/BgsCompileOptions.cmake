# Warning and sanitizer settings shared by every target of the project.
# Applied per target with bgs_target_defaults() so that a parent project that
# adds this one keeps its own global flags.

set(BGS_WARNING_FLAGS -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wno-unused-parameter)
if(BGS_WERROR)
  list(APPEND BGS_WARNING_FLAGS -Werror)
endif()

set(BGS_SANITIZER_FLAGS "")
if(BGS_SANITIZE STREQUAL "address")
  set(BGS_SANITIZER_FLAGS -fsanitize=address -fno-omit-frame-pointer)
elseif(BGS_SANITIZE STREQUAL "undefined")
  set(BGS_SANITIZER_FLAGS -fsanitize=undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(BGS_SANITIZE STREQUAL "thread")
  set(BGS_SANITIZER_FLAGS -fsanitize=thread)
elseif(NOT BGS_SANITIZE STREQUAL "")
  message(FATAL_ERROR "BGS_SANITIZE must be address, undefined, thread or empty (got '${BGS_SANITIZE}')")
endif()

function(bgs_target_defaults target)
  target_compile_options(${target} PRIVATE ${BGS_WARNING_FLAGS} ${BGS_SANITIZER_FLAGS})
  if(BGS_SANITIZER_FLAGS)
    target_link_options(${target} PRIVATE ${BGS_SANITIZER_FLAGS})
  endif()
endfunction()

# Sanitizer runtimes must reach every linked object, shared libraries included.
if(BGS_SANITIZER_FLAGS)
  add_link_options(${BGS_SANITIZER_FLAGS})
endif()
