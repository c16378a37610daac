# Sanitizer builds apply to every target of the tree.
if(WH_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # With optimisation on, GCC 12's -Wmaybe-uninitialized reports false
  # positives in instrumented code (inside libstdc++'s <regex>, for one),
  # which -Werror would turn into a failed build.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()
if(WH_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(WH_FUZZ)
  # The whole tree is instrumented for coverage so that the fuzz targets get
  # feedback from the engine code they drive; only the targets link libFuzzer.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
