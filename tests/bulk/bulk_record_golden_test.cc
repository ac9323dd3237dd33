// The records of getattrlistbulk as the macOS kernel writes them: golden bytes
// checked in (tests/bulk/bulk_record_vectors.golden), the test-only reference
// packer, the library's packer and its parser must all agree on them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bulk/bulk_record.h"
#include "platform/kernel.h"
#include "support/bulk_reference.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::reference_pack_batch;
using testing::reference_parsed;
using testing::ReferenceEntry;

struct Vector {
  std::string name;
  std::vector<ReferenceEntry> entries;
  std::size_t buffer_size = bulk_buffer_size;
  // The library's packer always supplies the device, type and file id.
  bool library_packs = true;
};

std::vector<Vector> vectors() {
  const ReferenceEntry file{.name = "report.txt",
                            .dev_id = 0x01000011,
                            .file_id = 0x1122334455667788,
                            .link_count = 2,
                            .alloc_size = 4096};
  ReferenceEntry dir{
      .name = "Documents", .obj_type = obj_type_directory, .dev_id = 0x01000011, .file_id = 0x42};
  ReferenceEntry mount = dir;
  mount.name = "Backup";
  mount.mount_status = dir_mntstatus_mntpoint;
  ReferenceEntry link = file;
  link.name = "latest";
  link.obj_type = obj_type_symlink;
  link.link_count = 1;
  link.alloc_size = 0;
  ReferenceEntry no_alloc = file;
  no_alloc.has_alloc_size = false;
  ReferenceEntry no_links = file;
  no_links.has_link_count = false;
  ReferenceEntry long_name = file;
  long_name.name.clear();
  for (int i = 0; i < 255; ++i) long_name.name += "\xE3\x81\x82";  // 255 UTF-16 units, 765 bytes
  // A file system that leaves out the device, the type or the file id: the
  // later fields move up, and the name stays behind the reserved space.
  ReferenceEntry no_device = file, no_type = file, no_file_id = file, no_identity = file;
  no_device.has_dev_id = no_identity.has_dev_id = false;
  no_type.has_obj_type = no_identity.has_obj_type = false;
  no_file_id.has_file_id = no_identity.has_file_id = false;
  ReferenceEntry a = file, ab = file;
  a.name = "a";
  ab.name = "ab";
  return {{"file", {file}},
          {"directory", {dir}},
          {"symlink", {link}},
          {"mount_point", {mount}},
          {"error_short_name", {{.name = "x", .error = EACCES}}},
          {"error_long_name", {{.name = std::string(255, 'e'), .error = EIO}}},
          {"missing_alloc_size", {no_alloc}},
          {"missing_link_count", {no_links}},
          {"name_765_bytes", {long_name}},
          // 72 bytes padded, then 68 that leave no room for their padding.
          {"unpadded_last_record", {a, ab, file}, 72 + 70},
          {"missing_device", {no_device}, bulk_buffer_size, false},
          {"missing_type", {no_type}, bulk_buffer_size, false},
          {"missing_file_id", {no_file_id}, bulk_buffer_size, false},
          {"missing_identity", {no_identity}, bulk_buffer_size, false}};
}

std::string to_hex(std::span<const std::byte> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const std::byte b : bytes) {
    hex += kDigits[static_cast<unsigned>(b) >> 4];
    hex += kDigits[static_cast<unsigned>(b) & 15];
  }
  return hex;
}

// Vector name -> hex bytes, from the checked-in file.
std::map<std::string, std::string> golden() {
  std::ifstream in(TESSALY_TEST_SOURCE_DIR "/bulk/bulk_record_vectors.golden");
  std::map<std::string, std::string> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, hex;
    fields >> name >> hex;
    out[name] = hex;
  }
  return out;
}

std::vector<std::byte> library_pack(const Vector& v, std::size_t& count) {
  std::vector<std::byte> out(v.buffer_size);
  std::size_t used = 0;
  count = 0;
  for (const ReferenceEntry& e : v.entries) {
    const std::size_t n =
        pack_bulk_record(std::span(out).subspan(used), {.name = e.name,
                                                        .error = e.error,
                                                        .dev_id = e.dev_id,
                                                        .obj_type = e.obj_type,
                                                        .file_id = e.file_id,
                                                        .mount_status = e.mount_status,
                                                        .has_link_count = e.has_link_count,
                                                        .link_count = e.link_count,
                                                        .has_alloc_size = e.has_alloc_size,
                                                        .alloc_size = e.alloc_size});
    if (n == 0) break;
    used += n;
    ++count;
    if (n % 8 != 0) break;
  }
  out.resize(used);
  return out;
}

TEST(BulkRecordGolden, ReferencePackerLibraryPackerAndParserAgreeWithTheGoldenBytes) {
  const auto expected = golden();
  ASSERT_EQ(expected.size(), vectors().size());
  for (const Vector& v : vectors()) {
    SCOPED_TRACE(v.name);
    std::size_t count = 0;
    const auto reference = reference_pack_batch(bulk_dir_request, v.entries, v.buffer_size, count);
    EXPECT_EQ(to_hex(reference), expected.at(v.name));
    if (v.library_packs) {
      std::size_t library_count = 0;
      EXPECT_EQ(to_hex(library_pack(v, library_count)), expected.at(v.name));
      EXPECT_EQ(library_count, count);
    }

    std::vector<BulkEntry> parsed;
    parse_bulk_batch(reference, count, parsed);
    ASSERT_EQ(parsed.size(), count);
    for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(parsed[i], reference_parsed(v.entries[i]));
  }
}

// Positions stated by the kernel's sources, checked apart from any packer.
TEST(BulkRecordGolden, GoldenBytesHaveTheKernelsPositions) {
  const auto g = golden();
  auto word = [&](const std::string& name, std::size_t at) {
    return std::stoul(g.at(name).substr(2 * at, 2), nullptr, 16) |
           std::stoul(g.at(name).substr(2 * at + 2, 2), nullptr, 16) << 8;
  };
  // File: name reference at 24 pointing 40 on, link count 48, size 52, name 64.
  EXPECT_EQ(word("file", 0), 80u);  // 64 + "report.txt\0" to 76, padded to 8
  EXPECT_EQ(word("file", 24), 40u);
  EXPECT_EQ(word("file", 48), 2u);
  EXPECT_EQ(word("file", 53), 0x10u);  // 4096, little-endian at 52
  EXPECT_EQ(g.at("file").substr(128, 20), "7265706f72742e747874");
  // Directory: mount status at 48, name at 56 (offset 32).
  EXPECT_EQ(word("directory", 24), 32u);
  EXPECT_EQ(word("mount_point", 48), 1u);
  // Error record: returned {0xA0000001, 0...}, error 24, reference 28 (8), name 36.
  EXPECT_EQ(g.at("error_short_name").substr(8, 40), "010000a0" + std::string(32, '0'));
  EXPECT_EQ(word("error_short_name", 24), static_cast<unsigned>(EACCES));
  EXPECT_EQ(word("error_short_name", 28), 8u);
  EXPECT_EQ(word("error_short_name", 0), 40u);
  // Without the device (returned 0x82000009), the type is at 32, the file id
  // at 36, the link count at 44 and the size at 48; the name stays at 64.
  EXPECT_EQ(g.at("missing_device").substr(8, 8), "09000082");
  EXPECT_EQ(word("missing_device", 24), 40u);
  EXPECT_EQ(word("missing_device", 32), static_cast<unsigned>(obj_type_regular));
  EXPECT_EQ(g.at("missing_device").substr(72, 16), "8877665544332211");
  EXPECT_EQ(word("missing_device", 44), 2u);
  EXPECT_EQ(word("missing_device", 49), 0x10u);
  EXPECT_EQ(g.at("missing_device").substr(128, 20), "7265706f72742e747874");
  // Without the type, the file id follows the device at 36.
  EXPECT_EQ(g.at("missing_type").substr(64, 24),
            "11000001"
            "8877665544332211");
  // Without the file id, the link count follows the type at 40.
  EXPECT_EQ(g.at("missing_file_id").substr(8, 8), "0b000080");
  EXPECT_EQ(word("missing_file_id", 40), 2u);
  // Without all three (returned 0x80000001), the link count is at 32 and the
  // size at 36.
  EXPECT_EQ(g.at("missing_identity").substr(8, 8), "01000080");
  EXPECT_EQ(word("missing_identity", 32), 2u);
  EXPECT_EQ(word("missing_identity", 37), 0x10u);
  EXPECT_EQ(g.at("missing_identity").substr(128, 20), "7265706f72742e747874");
  // The last record that fits without its padding ends the batch unpadded.
  EXPECT_EQ(g.at("unpadded_last_record").size(), 2u * (72 + 68));
}

TEST(BulkRecordProperty, RandomFieldSetsRoundTripThroughTheReferencePacker) {
  std::mt19937_64 random(20261209);
  for (int round = 0; round < 1500; ++round) {
    std::vector<std::uint8_t> bytes(4096);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    testing::ByteSource source(bytes);
    std::vector<ReferenceEntry> entries;
    const std::size_t n = 1 + source.next(1) % 6;
    for (std::size_t i = 0; i < n; ++i) entries.push_back(testing::random_reference_entry(source));
    const std::size_t buffer_size = 40 + source.next(2) % 5000;
    std::size_t count = 0;
    const auto batch = reference_pack_batch(bulk_dir_request, entries, buffer_size, count);
    std::vector<BulkEntry> parsed;
    parse_bulk_batch(batch, count, parsed);
    ASSERT_EQ(parsed.size(), count) << round;
    for (std::size_t i = 0; i < count; ++i)
      ASSERT_EQ(parsed[i], reference_parsed(entries[i])) << round << " entry " << i;
  }
}

#if defined(__APPLE__)
// The kernel's own records for a fixture directory equal the reference
// packer's bytes for the same entries (what each record says the file system
// supplied, and its values), and those values are what lstat reports.
TEST(BulkRecordKernel, RecordsOfThisKernelEqualTheReferencePackers) {
  testing::TempDir dir;
  dir.write_file("fixture/file", 20000);
  dir.make_hardlink("fixture/file", "fixture/twin");
  dir.make_dir("fixture/sub");
  dir.make_symlink("file", "fixture/link");
  dir.make_fifo("fixture/pipe");
  dir.write_file("fixture/" + std::string(255, 'L'), 10);
  dir.write_file("fixture/\xE3\x81\x82-kana", 10);
  const std::string fixture = dir.at("fixture");
  const int fd = ::open(fixture.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::vector<std::byte> buffer(bulk_buffer_size);
  const auto n = platform::system_kernel().read_attributes_bulk(fd, bulk_dir_request, buffer,
                                                                bulk_dir_options);
  ::close(fd);
  ASSERT_TRUE(n.has_value()) << n.error();
  std::vector<BulkEntry> parsed;
  parse_bulk_batch(buffer, *n, parsed);
  ASSERT_EQ(parsed.size(), 7u);
  std::vector<ReferenceEntry> entries;
  std::size_t used = 0;
  for (const BulkEntry& e : parsed) {
    const auto word = [&](std::size_t at) {
      return static_cast<std::uint32_t>(buffer[used + at]) |
             static_cast<std::uint32_t>(buffer[used + at + 1]) << 8 |
             static_cast<std::uint32_t>(buffer[used + at + 2]) << 16 |
             static_cast<std::uint32_t>(buffer[used + at + 3]) << 24;
    };
    const std::uint32_t common = word(4), files = word(16);
    entries.push_back({.name = std::string(e.raw()),
                       .error = e.error,
                       .obj_type = e.obj_type,
                       .dev_id = e.dev_id,
                       .file_id = e.file_id,
                       .mount_status = e.mount_status,
                       .link_count = e.link_count,
                       .alloc_size = e.alloc_size,
                       .has_dev_id = (common & attr_cmn_devid) != 0,
                       .has_obj_type = (common & attr_cmn_objtype) != 0,
                       .has_file_id = (common & attr_cmn_fileid) != 0,
                       .has_link_count = (files & attr_file_linkcount) != 0,
                       .has_alloc_size = (files & attr_file_allocsize) != 0});
    used += word(0);
    struct stat st {};
    ASSERT_EQ(::lstat((fixture + "/" + std::string(e.raw())).c_str(), &st), 0) << e.name;
    EXPECT_EQ(e.error, 0u) << e.name;
    EXPECT_EQ(e.dev_id, static_cast<std::uint32_t>(st.st_dev)) << e.name;
    EXPECT_EQ(e.file_id, st.st_ino) << e.name;
    if (e.obj_type != obj_type_directory) EXPECT_EQ(e.link_count, st.st_nlink) << e.name;
  }
  std::size_t count = 0;
  const auto reference = reference_pack_batch(bulk_dir_request, entries, bulk_buffer_size, count);
  EXPECT_EQ(count, parsed.size());
  EXPECT_EQ(to_hex(reference), to_hex(std::span(buffer).first(used)));
}
#endif  // defined(__APPLE__)

}  // namespace
}  // namespace tessaly
