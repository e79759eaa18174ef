# Included by the top-level CMakeLists.txt before any target when SWITCHYARD_FUZZ is on: every
# library is built with libFuzzer's coverage instrumentation and the address and
# undefined-behaviour sanitizers, so that the fuzz targets see into the code they drive.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "SWITCHYARD_FUZZ needs clang: configure with CC=clang CXX=clang++")
endif()
# -fsanitize=function is left out: clang 14 cannot emit its function prologue data for
# coroutines ("Cannot represent a difference across sections", llvm-project issue 49689).
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=function -fno-omit-frame-pointer
                    -fno-sanitize-recover=undefined)
add_link_options(-fsanitize=address,undefined)
