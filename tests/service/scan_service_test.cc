#include "service/scan_service.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cache/scan_cache.h"
#include "jwalk/jwalk_engine.h"
#include "progress/progress.h"
#include "support/recording_emitter.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using tessaly::testing::allocated_size;
using tessaly::testing::RecordingEmitter;
using tessaly::testing::TempDir;

ScanRequest request_for(const std::string& root, std::string_view engine, VolumeProbe probe) {
  ScanRequest request;
  request.root = root;
  request.engine = std::string(engine);
  request.volume_probe = probe;
  return request;
}

// Both engines, past the volume probe so that "bulk-attrs" runs everywhere.
TEST(ScanService, ProgressReachesTheHandleOfEitherEngine) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto size = allocated_size(dir.write_file("root/f", 5000));
  for (const std::string_view engine : {kJwalkEngineName, kBulkAttrsEngineName}) {
    RecordingEmitter emitter;
    const auto outcome = run_scan(request_for(root, engine, VolumeProbe::kSkip), &emitter);
    ASSERT_TRUE(outcome.has_value()) << engine << ": " << outcome.error();
    EXPECT_EQ(outcome->volume_probe_skipped, engine == kBulkAttrsEngineName);
    const std::vector<std::string> events = emitter.events();
    ASSERT_FALSE(events.empty()) << engine;
    EXPECT_TRUE(events.back().starts_with(
        "scan-progress {\"files_found\":1,\"dirs_found\":0,\"total_size\":" + std::to_string(size) +
        ","))
        << events.back();
  }
}

// A root holding a NUL byte names no directory: the part before the NUL is a
// real tree, and no entry point may scan it instead.
TEST(ScanService, RootWithANulByteScansNothing) {
  TempDir dir;
  const std::string prefix = dir.make_dir("root");
  dir.write_file("root/f", 5000);
  dir.make_dir("root/d");
  const std::string root = prefix + std::string(1, '\0') + "/d";
  const auto expect_empty = [&](const auto& result, std::string_view what) {
    EXPECT_EQ(result->files_found, 0u) << what;
    EXPECT_EQ(result->dirs_found, 0u) << what;
    EXPECT_EQ(result->total_size, 0u) << what;
    EXPECT_EQ(find_cached_scan(prefix), nullptr) << what;
  };

  clear_scan_cache();
  const auto direct = scan_with_jwalk(root, 8, {});
  ASSERT_TRUE(direct.has_value()) << direct.error();
  expect_empty(*direct, "scan_with_jwalk");
  EXPECT_EQ(find_cached_scan(root), *direct);

  for (const std::string_view engine : {kJwalkEngineName, kBulkAttrsEngineName}) {
    clear_scan_cache();
    const auto outcome = run_scan(request_for(root, engine, VolumeProbe::kSkip));
    ASSERT_TRUE(outcome.has_value()) << engine << ": " << outcome.error();
    expect_empty(outcome->result, engine);
  }
  const auto probed = run_scan(request_for(root, kBulkAttrsEngineName, VolumeProbe::kApply));
  ASSERT_FALSE(probed.has_value());
  EXPECT_EQ(probed.error(), "bulk-attrs is unsupported on this volume (expected apfs/hfs)");
}

}  // namespace
}  // namespace tessaly
