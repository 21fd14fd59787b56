# kivo_warnings(target): our own code builds with -Wall -Wextra and no warnings.
function(kivo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(KIVOCAM_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
