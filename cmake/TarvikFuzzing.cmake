# The fuzzing build (TARVIK_BUILD_FUZZERS): every library instrumented for
# libFuzzer's coverage and checked by AddressSanitizer and
# UndefinedBehaviorSanitizer; the programs under fuzz/ add libFuzzer's own
# main. clang only, in a build tree of its own (make fuzz uses build-fuzz), so
# the g++ trees are untouched. The standard library stays the system's
# libstdc++, which the C++ packages it links (the ONNX protobuf library among
# them) are built against.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "TARVIK_BUILD_FUZZERS needs clang: configure a fresh tree with "
                      "-DCMAKE_CXX_COMPILER=clang++ (this one uses ${CMAKE_CXX_COMPILER_ID})")
endif()
if(TARVIK_SANITIZE)
  message(FATAL_ERROR "TARVIK_BUILD_FUZZERS brings its own sanitizers: leave TARVIK_SANITIZE off")
endif()
# clang 14 cannot emit the function-type check's prologue data for coroutine
# parts ("Cannot represent a difference across sections"), so that one check
# of UndefinedBehaviorSanitizer is left out.
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=function
                    -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
