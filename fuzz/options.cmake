# Included by the top level before any target exists, so that every library the fuzz targets
# link is built with the same coverage and sanitizer instrumentation as the targets.
option(TAPWRIGHT_FUZZ "Build the libFuzzer targets in fuzz/ (clang only), everything instrumented"
       OFF)

if(TAPWRIGHT_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TAPWRIGHT_FUZZ needs clang++ (libFuzzer): use the preset 'fuzz'.")
  endif()
  if(TAPWRIGHT_SANITIZE)
    message(FATAL_ERROR "TAPWRIGHT_FUZZ brings its own sanitizers: leave TAPWRIGHT_SANITIZE off.")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
