# KIVOCAM_SANITIZE=address builds everything with AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer (undefined behaviour ends the process, so a test cannot pass over it);
# KIVOCAM_SANITIZE=thread builds with ThreadSanitizer. Each needs its own build folder.
# scripts/test.sh --sanitize / --tsan set the run-time options and suppressions.
set(KIVOCAM_SANITIZE "" CACHE STRING "Sanitizer build: address, thread or empty")
set_property(CACHE KIVOCAM_SANITIZE PROPERTY STRINGS "" address thread)

# Line tables are all a sanitizer's stack traces need, and -O1 keeps them exact while building
# and running much faster than -O0; both also keep the build within CI's time.
set(_kivo_san_common -O1 -g1 -fno-omit-frame-pointer)

if(KIVOCAM_SANITIZE STREQUAL "address")
  set(_kivo_san -fsanitize=address,undefined)
  add_compile_options(${_kivo_san} -fno-sanitize-recover=undefined ${_kivo_san_common})
  add_link_options(${_kivo_san})
elseif(KIVOCAM_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread ${_kivo_san_common})
  add_link_options(-fsanitize=thread)
elseif(NOT KIVOCAM_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KIVOCAM_SANITIZE must be address, thread or empty, not '${KIVOCAM_SANITIZE}'")
endif()
