# Warnings are on everywhere and kept at zero; -Werror makes a new one fail the build.
function(wh_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                         $<IF:$<CXX_COMPILER_ID:GNU>,-Wshadow=local,-Wshadow>
                         -Wno-missing-field-initializers -Werror)
endfunction()
