#include "base/logging.h"

#include <fmt/format.h>
#include <spdlog/sinks/ostream_sink.h>

#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

// An argument that counts how often it is formatted.
struct Counted {
  int* formats;
};

}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<std::string_view> {
  auto format(const Counted& value, fmt::format_context& context) const {
    ++*value.formats;
    return fmt::formatter<std::string_view>::format("counted", context);
  }
};

namespace tessaly {
namespace {

class LoggingTest : public ::testing::Test {
 protected:
  void TearDown() override { remove_log_sinks(); }

  std::shared_ptr<spdlog::sinks::ostream_sink_mt> capture() {
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out_);
    sink->set_pattern("%n|%l|%v");
    return sink;
  }

  std::ostringstream out_;
};

TEST_F(LoggingTest, LoggersCarryTheirTargetsAndStartSilent) {
  EXPECT_EQ(scanner_logger().name(), "tessaly_lib::scanner");
  EXPECT_EQ(macos_walker_logger().name(), "tessaly_lib::macos_walker");
  EXPECT_EQ(scanner_logger().level(), spdlog::level::off);
  EXPECT_EQ(macos_walker_logger().level(), spdlog::level::off);
  EXPECT_TRUE(scanner_logger().sinks().empty());
  EXPECT_TRUE(macos_walker_logger().sinks().empty());
  EXPECT_EQ(&scanner_logger(), &scanner_logger());
}

TEST_F(LoggingTest, NothingIsFormattedWhileOff) {
  int formats = 0;
  scanner_logger().warn("scan error: {}", Counted{&formats});
  macos_walker_logger().info("[walk:bulk] walk finished at {} ms", Counted{&formats});
  EXPECT_EQ(formats, 0);
  EXPECT_FALSE(scanner_logger().should_log(spdlog::level::critical));
}

TEST_F(LoggingTest, InstalledSinkReceivesRecordsOfAdmittedLevels) {
  install_log_sink(capture(), spdlog::level::info);
  int formats = 0;
  scanner_logger().warn("scan error: {}", "No such file or directory (os error 2)");
  scanner_logger().debug("not admitted {}", Counted{&formats});
  macos_walker_logger().info("[walk:bulk] walk finished at {} ms", 42);
  EXPECT_EQ(formats, 0);
  EXPECT_EQ(out_.str(),
            "tessaly_lib::scanner|warning|scan error: No such file or directory (os error 2)\n"
            "tessaly_lib::macos_walker|info|[walk:bulk] walk finished at 42 ms\n");
}

TEST_F(LoggingTest, RemovingSinksSilencesAgain) {
  install_log_sink(capture(), spdlog::level::trace);
  scanner_logger().info("first");
  remove_log_sinks();
  int formats = 0;
  scanner_logger().info("second {}", Counted{&formats});
  EXPECT_EQ(formats, 0);
  EXPECT_EQ(scanner_logger().level(), spdlog::level::off);
  EXPECT_EQ(out_.str(), "tessaly_lib::scanner|info|first\n");
}

TEST_F(LoggingTest, NullSinkKeepsLevelOff) {
  install_log_sink(nullptr, spdlog::level::info);
  EXPECT_EQ(scanner_logger().level(), spdlog::level::off);
  EXPECT_FALSE(macos_walker_logger().should_log(spdlog::level::info));
}

}  // namespace
}  // namespace tessaly
