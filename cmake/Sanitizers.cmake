# Sanitizer flags for the whole build tree. KELCACHE_SANITIZE is empty for a
# normal build, 'address' for AddressSanitizer with UndefinedBehaviorSanitizer,
# or 'thread' for ThreadSanitizer. The flags go on every target that the
# project makes, so tests and the library are instrumented alike.
if(KELCACHE_SANITIZE STREQUAL "address")
  set(KELCACHE_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(KELCACHE_SANITIZE STREQUAL "thread")
  set(KELCACHE_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT KELCACHE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KELCACHE_SANITIZE must be empty, 'address' or 'thread', not '${KELCACHE_SANITIZE}'")
endif()

function(kelcache_apply_sanitizers target)
  if(KELCACHE_SANITIZER_FLAGS)
    target_compile_options(${target} PRIVATE ${KELCACHE_SANITIZER_FLAGS})
    target_link_options(${target} PRIVATE ${KELCACHE_SANITIZER_FLAGS})
  endif()
endfunction()
