# The three command-line tools, each a library (so that its tests can call it)
# and a main. Included from the top-level CMakeLists.txt.

# What the command-line tools share: the argument grammar, reading and writing
# whole files, and the benchmark report's records, document and printing, which
# scan_bench writes and scan_compare reads (and its tests write).
add_library(tool_common STATIC src/bin/common/arguments.cc src/bin/common/file_io.cc
  src/bin/common/bench_report.cc src/bin/common/json_text.cc src/bin/common/stop_signals.cc)
target_link_libraries(tool_common PUBLIC tessaly_lib nlohmann_json::nlohmann_json)

# The benchmark tool: everything but main lives in a library so tests can call it.
file(GLOB SCAN_BENCH_SOURCES CONFIGURE_DEPENDS src/bin/scan_bench/*.cc)
list(FILTER SCAN_BENCH_SOURCES EXCLUDE REGEX "/main\\.cc$")
add_library(scan_bench_lib STATIC ${SCAN_BENCH_SOURCES})
target_link_libraries(scan_bench_lib PUBLIC tool_common tessaly_lib)
add_executable(scan_bench src/bin/scan_bench/main.cc)
target_link_libraries(scan_bench PRIVATE scan_bench_lib)

# The tree viewer, built the same way. TESSALY_TOOL_LIBS lists every tool's
# library for a build that wants them all; a test links only its tool's.
set(TESSALY_TOOL_LIBS scan_bench_lib)
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/src/bin/scan_tree/main.cc)
  file(GLOB SCAN_TREE_SOURCES CONFIGURE_DEPENDS src/bin/scan_tree/*.cc)
  list(FILTER SCAN_TREE_SOURCES EXCLUDE REGEX "/main\\.cc$")
  add_library(scan_tree_lib STATIC ${SCAN_TREE_SOURCES})
  target_link_libraries(scan_tree_lib PUBLIC tool_common tessaly_lib)
  add_executable(scan_tree src/bin/scan_tree/main.cc)
  target_link_libraries(scan_tree PRIVATE scan_tree_lib)
  list(APPEND TESSALY_TOOL_LIBS scan_tree_lib)
endif()

# The report comparer, built the same way. It reads what scan_bench writes, so
# it takes the report's types and summary rule from tool_common, as scan_bench
# does, instead of copying them.
file(GLOB SCAN_COMPARE_SOURCES CONFIGURE_DEPENDS src/bin/scan_compare/*.cc)
list(FILTER SCAN_COMPARE_SOURCES EXCLUDE REGEX "/main\\.cc$")
add_library(scan_compare_lib STATIC ${SCAN_COMPARE_SOURCES})
target_link_libraries(scan_compare_lib PUBLIC tool_common)
add_executable(scan_compare src/bin/scan_compare/main.cc)
target_link_libraries(scan_compare PRIVATE scan_compare_lib)
list(APPEND TESSALY_TOOL_LIBS scan_compare_lib)
