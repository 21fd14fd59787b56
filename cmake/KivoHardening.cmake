# The hardening Debian's own packages build with: the program parses what arrives from the
# network, so overflows should end it rather than run on. Sanitizer and fuzzer builds have their
# own checks and leave these out.
if(KIVOCAM_SANITIZE STREQUAL "" AND NOT KIVOCAM_FUZZ)
  add_compile_options(-fstack-protector-strong -fstack-clash-protection -Wformat
                      -Werror=format-security)
  # Fortified functions need the optimiser; a Debug build would only warn about it. A level
  # given in the flags (dpkg-buildflags) is left as it is rather than redefined.
  if(NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
    add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  endif()
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
