# The compiler warnings of every target of ours, set here alone: the main
# build (tool, tools, tests, benchmarks) and the fuzz build include this file
# and pass TESSVANE_WARNINGS to each target they define.
set(TESSVANE_WARNINGS -Wall -Wextra -Wpedantic)

# GCC's maybe-uninitialized warning misfires inside libstdc++ once
# AddressSanitizer instruments it (make asan), so it is off in that build.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_FLAGS MATCHES "-fsanitize=[a-z,]*address")
  list(APPEND TESSVANE_WARNINGS -Wno-maybe-uninitialized)
endif()
