# Extra targets: the record-parser and command-line fuzzers.

# libFuzzer needs clang. Each fuzzer builds only the code it exercises and
# what that uses, so it needs nothing of the rest of the library; build them by
# name (scripts/fuzz.sh does).
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND NOT CMAKE_CROSSCOMPILING)
  add_executable(bulk_record_fuzzer EXCLUDE_FROM_ALL
    fuzz/bulk_record_fuzzer.cc src/bulk/bulk_record.cc src/base/utf8.cc
    tests/support/bulk_reference.cc)
  target_include_directories(bulk_record_fuzzer PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src
    ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  target_compile_options(bulk_record_fuzzer PRIVATE
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(bulk_record_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
endif()

# The command-line, dataset and saved-tree parsers use <expected>. libstdc++ 12 offers it
# only to compilers announcing C++20 concepts in full (__cpp_concepts
# 202002L); clang 16 implements what <expected> needs of them but announces
# 201907L, so the announcement is corrected for these two targets.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 16
    AND NOT CMAKE_CROSSCOMPILING)
  add_executable(options_fuzzer EXCLUDE_FROM_ALL
    fuzz/options_fuzzer.cc src/bin/scan_bench/options.cc
    src/bin/common/arguments.cc src/bin/common/file_io.cc src/bin/common/stop_signals.cc
    src/result/text.cc src/base/paths.cc src/base/utf8.cc)
  target_link_libraries(options_fuzzer PRIVATE fmt::fmt)
  add_executable(dataset_fuzzer EXCLUDE_FROM_ALL
    fuzz/dataset_fuzzer.cc src/bin/scan_bench/dataset.cc src/bin/common/file_io.cc
    src/bin/common/json_text.cc src/bin/common/stop_signals.cc src/result/text.cc
    src/base/paths.cc src/base/utf8.cc)
  target_link_libraries(dataset_fuzzer PRIVATE nlohmann_json::nlohmann_json fmt::fmt)
  add_executable(ncdu_import_fuzzer EXCLUDE_FROM_ALL
    fuzz/ncdu_import_fuzzer.cc src/ncdu/ncdu_reader.cc src/ncdu/ncdu_writer.cc
    src/result/aggregator.cc src/result/child_listing.cc src/result/result.cc
    src/result/dir_table.cc src/result/hardlink_set.cc src/rules/bundles.cc src/base/paths.cc
    src/base/utf8.cc src/base/clock.cc)
  foreach(fuzzer options_fuzzer dataset_fuzzer ncdu_import_fuzzer)
    target_include_directories(${fuzzer} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/include
      ${CMAKE_CURRENT_SOURCE_DIR}/src)
    target_compile_options(${fuzzer} PRIVATE
      -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
      -U__cpp_concepts -D__cpp_concepts=202002L -Wno-builtin-macro-redefined)
    target_link_options(${fuzzer} PRIVATE -fsanitize=fuzzer,address,undefined)
  endforeach()
endif()
