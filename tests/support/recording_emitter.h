// A progress emitter for tests: keeps every event it is given.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "progress/progress.h"

namespace tessaly::testing {

// Records each event as "{name} {payload}" and answers `succeed`.
class RecordingEmitter final : public ProgressEmitter {
 public:
  explicit RecordingEmitter(bool succeed = true) : succeed_(succeed) {}

  bool emit(std::string_view event, std::string_view json_payload) const override {
    std::lock_guard lock(mutex_);
    events_.emplace_back(std::string(event) + " " + std::string(json_payload));
    return succeed_;
  }

  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  bool succeed_;
  mutable std::mutex mutex_;
  mutable std::vector<std::string> events_;
};

}  // namespace tessaly::testing
