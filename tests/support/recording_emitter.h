// A progress emitter for tests: keeps every event it is given; and the
// library's progress payload, for tests of what reads it.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "progress/progress.h"

namespace tessaly::testing {

// The "scan-progress" payload the library emits for `progress`.
inline std::string progress_payload(const ScanProgress& progress) {
  return progress_json(progress);
}

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
