#include "rules/volume_group.h"

#include <sys/stat.h>

#include <fcntl.h>

#include <string>
#include <utility>

#include "base/paths.h"

namespace tessaly {
namespace {

// A firmlinks file is a few hundred bytes; anything far larger is not one.
constexpr std::size_t kMaxFirmlinksBytes = 64 * 1024;

std::expected<std::uint64_t, int> device_of(platform::Kernel& kernel, std::string_view path) {
  const std::string text(path);
  struct stat st {};
  const auto stated =
      platform::retry_interrupted([&] { return kernel.stat_at(AT_FDCWD, text.c_str(), st, 0); });
  if (!stated) return std::unexpected(stated.error());
  return static_cast<std::uint64_t>(st.st_dev);
}

}  // namespace

std::vector<std::string> parse_firmlinks(std::string_view text) {
  std::vector<std::string> paths;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos || tab < 2 || line.front() != '/') continue;
    if (tab + 1 == line.size() || line.find('\0') != std::string_view::npos) continue;
    paths.emplace_back(line.substr(0, tab));
  }
  return paths;
}

VolumeGroup find_volume_group(platform::Kernel& kernel, std::string_view root) {
  if (root.empty() || root.front() != '/' || root.find('\0') != std::string_view::npos) return {};
  // Where there is no Data volume mount, as on every system but macOS, one
  // call settles it.
  const auto data_device = device_of(kernel, kDataVolumeMount);
  if (!data_device) return {};
  const auto system_device = device_of(kernel, "/");
  if (!system_device || *data_device == *system_device) return {};
  const auto root_device = device_of(kernel, root);
  if (!root_device || *root_device != *system_device) return {};
  const std::string file(kFirmlinksFile);
  const auto text = platform::retry_interrupted(
      [&] { return kernel.read_file(file.c_str(), kMaxFirmlinksBytes); });
  if (!text) return {};
  VolumeGroup group;
  group.firmlinks = parse_firmlinks(*text);
  if (group.firmlinks.empty()) return {};
  group.data_device = *data_device;
  return group;
}

DeviceRule::DeviceRule(std::uint64_t root_device, std::uint64_t data_device,
                       std::vector<std::string> firmlinks)
    : root_device_(root_device),
      data_device_(root_device == 0 ? 0 : data_device),
      firmlinks_(std::move(firmlinks)) {}

bool DeviceRule::through_firmlink(std::uint64_t device, std::string_view path) const {
  if (data_device_ == 0 || device != data_device_) return false;
  for (const std::string& firmlink : firmlinks_) {
    if (path_starts_with(path, firmlink)) return true;
  }
  return false;
}

}  // namespace tessaly
