# Applied per target so third-party code is not affected.
function(virelomp3_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()
