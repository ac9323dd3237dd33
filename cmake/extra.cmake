# Extra targets: the macOS platform layer compiled on other systems, and the
# record-parser fuzzer.

# The macOS platform layer is compiled (never linked or run) against a minimal
# declaration shim, so that it keeps building where no macOS SDK exists.
if(NOT APPLE)
  add_library(tessaly_macos_platform_check OBJECT src/platform/platform_macos.cc)
  target_include_directories(tessaly_macos_platform_check BEFORE PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR}/src/platform/macos_shim)
  target_include_directories(tessaly_macos_platform_check PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)

  # The tool's macOS branch (the mounted-volume list) is checked the same way.
  add_library(tessaly_macos_tool_check OBJECT src/bin/scan_bench/machine_info.cc)
  target_compile_definitions(tessaly_macos_tool_check PRIVATE __APPLE__=1)
  target_include_directories(tessaly_macos_tool_check BEFORE PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR}/src/platform/macos_shim)
  target_link_libraries(tessaly_macos_tool_check PRIVATE tessaly_lib)
endif()

# libFuzzer needs clang. Each fuzzer builds only the code it exercises and
# what that uses, so it needs nothing of the rest of the library; build them by
# name (scripts/fuzz.sh does).
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_executable(bulk_record_fuzzer EXCLUDE_FROM_ALL
    fuzz/bulk_record_fuzzer.cc src/macos_walker/bulk_record.cc src/scanner/utf8.cc)
  target_include_directories(bulk_record_fuzzer PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_compile_options(bulk_record_fuzzer PRIVATE
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(bulk_record_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
endif()

# The command-line and dataset parsers use <expected>. libstdc++ 12 offers it
# only to compilers announcing C++20 concepts in full (__cpp_concepts
# 202002L); clang 16 implements what <expected> needs of them but announces
# 201907L, so the announcement is corrected for these two targets.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 16)
  add_executable(options_fuzzer EXCLUDE_FROM_ALL
    fuzz/options_fuzzer.cc src/bin/scan_bench/options.cc
    src/bin/common/arguments.cc)
  target_link_libraries(options_fuzzer PRIVATE fmt::fmt)
  add_executable(dataset_fuzzer EXCLUDE_FROM_ALL
    fuzz/dataset_fuzzer.cc src/bin/scan_bench/dataset.cc src/scanner/paths.cc src/scanner/utf8.cc)
  target_link_libraries(dataset_fuzzer PRIVATE nlohmann_json::nlohmann_json)
  foreach(fuzzer options_fuzzer dataset_fuzzer)
    target_include_directories(${fuzzer} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
    target_compile_options(${fuzzer} PRIVATE
      -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
      -U__cpp_concepts -D__cpp_concepts=202002L -Wno-builtin-macro-redefined)
    target_link_options(${fuzzer} PRIVATE -fsanitize=fuzzer,address,undefined)
  endforeach()
endif()
