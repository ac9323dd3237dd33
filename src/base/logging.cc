#include "base/logging.h"

#include <memory>
#include <string>

namespace tessaly {
namespace {

std::shared_ptr<spdlog::logger> make_silent_logger(std::string_view name) {
  auto logger = std::make_shared<spdlog::logger>(std::string(name), spdlog::sinks_init_list{});
  logger->set_level(spdlog::level::off);
  return logger;
}

void configure(spdlog::logger& logger, const spdlog::sink_ptr& sink,
               spdlog::level::level_enum level) {
  logger.sinks().clear();
  if (sink != nullptr) logger.sinks().push_back(sink);
  logger.set_level(sink != nullptr ? level : spdlog::level::off);
}

}  // namespace

spdlog::logger& scanner_logger() {
  static const std::shared_ptr<spdlog::logger> logger = make_silent_logger(kScannerLogTarget);
  return *logger;
}

spdlog::logger& macos_walker_logger() {
  static const std::shared_ptr<spdlog::logger> logger = make_silent_logger(kMacosWalkerLogTarget);
  return *logger;
}

void install_log_sink(spdlog::sink_ptr sink, spdlog::level::level_enum level) {
  configure(scanner_logger(), sink, level);
  configure(macos_walker_logger(), sink, level);
}

void remove_log_sinks() { install_log_sink(nullptr, spdlog::level::off); }

}  // namespace tessaly
