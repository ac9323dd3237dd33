#include "bin/scan_tree/app.h"

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tessaly/progress.h>
#include <nlohmann/json.hpp>

#include "support/temp_tree.h"

namespace tessaly::scan_tree {
namespace {

using tessaly::testing::TempDir;

int run_in_process(std::vector<std::string> args) {
  args.insert(args.begin(), "scan_tree");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return scan_tree_main(static_cast<int>(args.size()), argv.data());
}

// A cancellation requested while no scan ran (a host's earlier scan, say) is
// no stop request for the next one.
TEST(ScanTreeMain, StaleCancellationDoesNotStopTheNextScan) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  dir.write_file("root/a/f", 100);
  for (const std::string engine : {"jwalk", "bulk-attrs"}) {
    const std::string json = dir.at(engine + ".json");
    request_scan_cancel();
    ASSERT_EQ(run_in_process({"--root", root, "--engine", engine, "--json", json}), 0) << engine;
    std::ifstream in(json);
    EXPECT_EQ(nlohmann::json::parse(in)["files_found"], 1) << engine;
  }
}

}  // namespace
}  // namespace tessaly::scan_tree
