#include "bulk/bulk_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/logging.h"
#include "bulk/bulk_source.h"
#include "support/faulty_kernel.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::FaultyKernel;
using testing::TempDir;

// A batch built byte by byte, so the parser is checked against the layout
// itself rather than against the library's own encoder.
class Batch {
 public:
  // Starts a record of `length` bytes at the current end (all bytes zero but
  // the length word) and returns its offset.
  std::size_t record(std::uint32_t length) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + length);
    if (length >= 4) put32(at, length);
    return at;
  }
  void put32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_[at + i] = static_cast<std::byte>(v >> (8 * i));
  }
  void put64(std::size_t at, std::uint64_t v) {
    put32(at, static_cast<std::uint32_t>(v));
    put32(at + 4, static_cast<std::uint32_t>(v >> 32));
  }
  void put_text(std::size_t at, std::string_view text) {
    std::memcpy(bytes_.data() + at, text.data(), text.size());
  }
  void pad(std::size_t n) { bytes_.resize(bytes_.size() + n); }
  std::vector<BulkEntry> parse(std::size_t count) const {
    std::vector<BulkEntry> out;
    parse_bulk_batch(bytes_, count, out);
    return out;
  }
  std::vector<std::byte>& bytes() { return bytes_; }

 private:
  std::vector<std::byte> bytes_;
};

struct RecordLayout {
  std::string name = "entry";
  bool with_error = false;
  std::uint32_t error = 0;
  std::uint32_t common = 0x8200000B;  // returned attributes without the error bit
  std::uint32_t dir_attrs = 0;
  std::uint32_t file_attrs = 0x5;
  std::uint32_t dev = 0x1000011;
  std::uint32_t type = 1;
  std::uint64_t file_id = 0x1122334455667788ULL;
  std::uint32_t mount_status = 0;
  std::uint32_t links = 3;
  std::int64_t alloc = 40960;
};

// A complete, well-formed record as the kernel packs it: the returned fields
// one after the other from offset 24 in the kernel's order, then the name
// after the fixed area reserved for the whole request. Returns its offset.
std::size_t add_record(Batch& batch, const RecordLayout& layout) {
  const std::uint32_t common = layout.common | (layout.with_error ? 0x20000000u : 0u);
  const std::size_t fixed_end = 28 + 24 + (layout.type == 2 ? 4 : 12);
  const std::size_t length = (fixed_end + layout.name.size() + 1 + 3) & ~std::size_t{3};
  const std::size_t at = batch.record(static_cast<std::uint32_t>(length));
  batch.put32(at + 4, common);
  batch.put32(at + 12, layout.dir_attrs);
  batch.put32(at + 16, layout.file_attrs);
  std::size_t pos = at + 24;
  if (layout.with_error) {
    batch.put32(pos, layout.error);
    pos += 4;
  }
  batch.put32(pos, static_cast<std::uint32_t>(at + fixed_end - pos));
  batch.put32(pos + 4, static_cast<std::uint32_t>(layout.name.size() + 1));
  pos += 8;
  if (common & 0x2) batch.put32(pos, layout.dev), pos += 4;
  if (common & 0x8) batch.put32(pos, layout.type), pos += 4;
  if (common & 0x02000000) batch.put64(pos, layout.file_id), pos += 8;
  if (layout.dir_attrs & 0x4) batch.put32(pos, layout.mount_status), pos += 4;
  if (layout.file_attrs & 0x1) batch.put32(pos, layout.links), pos += 4;
  if (layout.file_attrs & 0x4) batch.put64(pos, static_cast<std::uint64_t>(layout.alloc));
  batch.put_text(at + fixed_end, layout.name);
  return at;
}

std::vector<std::string> names_of(const std::vector<BulkEntry>& entries) {
  std::vector<std::string> names;
  for (const BulkEntry& e : entries) names.push_back(e.name);
  return names;
}

TEST(BulkRecordParser, ReadsEveryFieldOfAFileRecord) {
  Batch batch;
  add_record(batch, {.name = "report.txt"});
  const auto entries = batch.parse(1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "report.txt");
  EXPECT_EQ(entries[0].dev_id, 0x1000011u);
  EXPECT_EQ(entries[0].obj_type, 1u);
  EXPECT_EQ(entries[0].file_id, 0x1122334455667788ULL);
  EXPECT_EQ(entries[0].link_count, 3u);
  EXPECT_EQ(entries[0].alloc_size, 40960);
  EXPECT_EQ(entries[0].error, 0u);
}

TEST(BulkRecordParser, ErrorWordShiftsTheFixedFields) {
  Batch batch;
  add_record(batch, {.name = "locked", .with_error = true, .error = EACCES, .type = 2});
  const auto entries = batch.parse(1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "locked");
  EXPECT_EQ(entries[0].error, static_cast<std::uint32_t>(EACCES));
  EXPECT_EQ(entries[0].obj_type, 2u);
  EXPECT_EQ(entries[0].dev_id, 0x1000011u);
  EXPECT_EQ(entries[0].file_id, 0x1122334455667788ULL);
  EXPECT_EQ(entries[0].link_count, 3u);
}

TEST(BulkRecordParser, DirectoryWithoutFileAttributesGetsDefaults) {
  Batch batch;
  add_record(
      batch,
      {.name = "Documents", .dir_attrs = 0x4, .file_attrs = 0, .type = 2, .mount_status = 1});
  const auto entries = batch.parse(1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].link_count, 1u);
  EXPECT_EQ(entries[0].alloc_size, 0);
  EXPECT_EQ(entries[0].mount_status, 1u);
}

TEST(BulkRecordParser, ZeroFileWordIgnoresBytesAtTheFileFieldPositions) {
  Batch batch;
  const std::size_t at = add_record(batch, {.name = "long-enough-name-to-cover", .file_attrs = 0});
  // The reserved area after the file id holds no link count or size when
  // no file attribute was returned.
  batch.put32(at + 48, 7);
  batch.put64(at + 52, 99);
  const auto entries = batch.parse(1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].link_count, 1u);
  EXPECT_EQ(entries[0].alloc_size, 0);
}

TEST(BulkRecordParser, OnlyTheReturnedFileFieldsAreRead) {
  Batch batch;
  // No link count: the size moves up to where the link count would be.
  add_record(batch, {.name = "f", .file_attrs = 0x4, .links = 2, .alloc = 8192});
  add_record(batch, {.name = "g", .file_attrs = 0x1, .links = 2, .alloc = 8192});
  const auto entries = batch.parse(2);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].link_count, 1u);
  EXPECT_EQ(entries[0].alloc_size, 8192);
  EXPECT_EQ(entries[1].link_count, 2u);
  EXPECT_EQ(entries[1].alloc_size, 0);
}

TEST(BulkRecordParser, RecordTooShortForItsReturnedFieldsIsSkipped) {
  Batch batch;
  // Link count fits, the size does not (L = 56 < 24 + 8 + 16 + 4 + 8).
  std::size_t at = batch.record(56);
  batch.put32(at + 4, 0x8200000B);
  batch.put32(at + 16, 0x5);
  batch.put32(at + 24, 28);  // name at 52..56
  batch.put32(at + 28, 4);
  batch.put_text(at + 52, "ab");
  add_record(batch, {.name = "kept"});
  EXPECT_EQ(names_of(batch.parse(2)), std::vector<std::string>{"kept"});
}

TEST(BulkRecordParser, MissingCommonAttributesMoveTheLaterFieldsUp) {
  Batch batch;
  // No device: the type follows the name reference, then the file id.
  add_record(batch, {.name = "n", .common = 0x82000009, .dev = 77, .type = 5, .file_id = 8});
  // Name only: every field takes its default.
  add_record(batch, {.name = "m", .common = 0x80000001, .file_attrs = 0});
  const auto entries = batch.parse(2);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].dev_id, 0u);
  EXPECT_EQ(entries[0].obj_type, 5u);
  EXPECT_EQ(entries[0].file_id, 8u);
  EXPECT_EQ(entries[0].link_count, 3u);
  EXPECT_EQ(entries[0].alloc_size, 40960);
  EXPECT_EQ(static_cast<const BulkFields&>(entries[1]), BulkFields{});
  EXPECT_EQ(entries[1].name, "m");
}

TEST(BulkRecordParser, ErrorRecordWithAShortNameIsKept) {
  Batch batch;
  // As the kernel packs an entry whose attributes could not be read.
  const std::size_t at = batch.record(40);
  batch.put32(at + 4, 0xA0000001);
  batch.put32(at + 24, EIO);
  batch.put32(at + 28, 8);
  batch.put32(at + 32, 2);
  batch.put_text(at + 36, "x");
  const auto entries = batch.parse(1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "x");
  EXPECT_EQ(entries[0].error, static_cast<std::uint32_t>(EIO));
  EXPECT_EQ(entries[0].obj_type, obj_type_none);
}

TEST(BulkRecordParser, BitsOutsideTheRequestSkipTheRecord) {
  Batch batch;
  add_record(batch, {.name = "fsid", .common = 0x8200000F});  // ATTR_CMN_FSID: 8 unknown bytes
  std::size_t at = add_record(batch, {.name = "vol"});
  batch.put32(at + 8, 1);
  add_record(batch, {.name = "ok"});
  EXPECT_EQ(names_of(batch.parse(3)), std::vector<std::string>{"ok"});
}

TEST(BulkRecordParser, SkipsRecordsTooShortForTheirFields) {
  Batch batch;
  batch.record(20);                   // shorter than the header
  std::size_t at = batch.record(32);  // no error word: shorter than B + 24 = 48
  batch.put32(at + 24, 8);
  batch.put32(at + 28, 2);
  at = batch.record(36);  // error word: at least 36 but shorter than B + 24 = 52
  batch.put32(at + 4, 0x20000000);
  at = batch.record(32);  // error word and shorter than 36
  batch.put32(at + 4, 0xA200000B);
  at = batch.record(28);  // no error word and shorter than 32
  add_record(batch, {.name = "kept"});
  const auto entries = batch.parse(6);
  EXPECT_EQ(names_of(entries), std::vector<std::string>{"kept"});
}

TEST(BulkRecordParser, SkipsEmptyAndOutOfRangeNames) {
  Batch batch;
  std::size_t at = add_record(batch, {.name = "zero-length"});
  batch.put32(at + 28, 0);
  at = add_record(batch, {.name = "past-end"});
  batch.put32(at + 24, 4096);
  at = add_record(batch, {.name = "before-start"});
  batch.put32(at + 24, static_cast<std::uint32_t>(-100));
  at = add_record(batch, {.name = "ends-at-start"});
  batch.put32(at + 24, static_cast<std::uint32_t>(-24));  // start inside the record, length 0
  batch.put32(at + 28, 0);
  add_record(batch, {.name = "good"});
  const auto entries = batch.parse(5);
  EXPECT_EQ(names_of(entries), std::vector<std::string>{"good"});
}

TEST(BulkRecordParser, NegativeNameOffsetInsideTheRecordIsRead) {
  Batch batch;
  const std::size_t at = add_record(batch, {.name = "unused"});
  // The name reference at 24 points 24 bytes back: the record's first byte
  // (the length word, 0x48 = 'H' for a 72-byte record).
  batch.put32(at + 24, static_cast<std::uint32_t>(-24));
  batch.put32(at + 28, 1);
  const auto entries = batch.parse(1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "H");
}

TEST(BulkRecordParser, NameStopsAtNulOrAtTheRecordEnd) {
  Batch batch;
  std::size_t at = add_record(batch, {.name = "abc"});
  batch.put32(at + 28, 2);  // length 2: no NUL inside, name is "ab"
  at = add_record(batch, {.name = std::string("de\0fg", 5)});
  at = add_record(batch, {.name = "tail"});
  batch.put32(at + 28, 1000);  // clipped at the record end; the padding NULs stop it
  const auto entries = batch.parse(3);
  EXPECT_EQ(names_of(entries), (std::vector<std::string>{"ab", "de", "tail"}));
}

TEST(BulkRecordParser, NameRunningToTheRecordEndWithoutNul) {
  Batch batch;
  const std::size_t at = batch.record(52);
  batch.put32(at + 4, 0x8200000B);
  batch.put32(at + 24, 24);  // name at 48..52, no NUL
  batch.put32(at + 28, 100);
  batch.put_text(at + 48, "wxyz");
  const auto entries = batch.parse(1);
  EXPECT_EQ(names_of(entries), std::vector<std::string>{"wxyz"});
}

TEST(BulkRecordParser, InvalidUtf8BecomesReplacementCharacter) {
  Batch batch;
  add_record(batch, {.name = "caf\xe9-\xff\xfe.txt"});
  const auto entries = batch.parse(1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "caf\xEF\xBF\xBD-\xEF\xBF\xBD\xEF\xBF\xBD.txt");
}

TEST(BulkRecordParser, ZeroLengthEndsTheBatch) {
  Batch batch;
  add_record(batch, {.name = "first"});
  batch.pad(4);  // length word 0
  add_record(batch, {.name = "never"});
  EXPECT_EQ(names_of(batch.parse(3)), std::vector<std::string>{"first"});
}

TEST(BulkRecordParser, RecordRunningPastTheBufferEndsTheBatch) {
  Batch batch;
  add_record(batch, {.name = "first"});
  const std::size_t at = add_record(batch, {.name = "overlong"});
  batch.put32(at, 1000);
  EXPECT_EQ(names_of(batch.parse(2)), std::vector<std::string>{"first"});
}

TEST(BulkRecordParser, FewerThanFourBytesLeftEndsTheBatch) {
  Batch batch;
  add_record(batch, {.name = "only"});
  batch.pad(3);
  EXPECT_EQ(names_of(batch.parse(5)), std::vector<std::string>{"only"});
  std::vector<BulkEntry> out;
  parse_bulk_batch({}, 5, out);
  EXPECT_TRUE(out.empty());
}

TEST(BulkRecordParser, ParsesNoMoreThanTheCount) {
  Batch batch;
  add_record(batch, {.name = "a"});
  add_record(batch, {.name = "b"});
  add_record(batch, {.name = "c"});
  EXPECT_EQ(names_of(batch.parse(2)), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(batch.parse(0).empty());
}

TEST(BulkRecordParser, SkippedRecordsStillUseUpTheCount) {
  Batch batch;
  batch.record(20);
  add_record(batch, {.name = "a"});
  add_record(batch, {.name = "b"});
  EXPECT_EQ(names_of(batch.parse(2)), std::vector<std::string>{"a"});
}

TEST(BulkRecordParser, SixtyFourBitFieldsAtFourByteAlignedPositions) {
  Batch batch;
  // The first record is 4 bytes off an 8-byte boundary past its end, so the
  // second record's file id and size sit at odd multiples of 4.
  add_record(batch, {.name = "abcdefgh"});  // 64 + 9 -> 76 bytes
  ASSERT_EQ(batch.bytes().size() % 8, 4u);
  add_record(batch, {.name = "x", .file_id = 0xFEDCBA9876543210ULL, .alloc = -5});
  const auto entries = batch.parse(2);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].file_id, 0xFEDCBA9876543210ULL);
  EXPECT_EQ(entries[1].alloc_size, -5);
}

TEST(BulkRecordEncoder, ProducesTheKernelLayoutByteForByte) {
  BulkRecordFields fields;
  fields.name = "ab";
  fields.dev_id = 0x01020304;
  fields.obj_type = obj_type_regular;
  fields.file_id = 0x1112131415161718ULL;
  fields.link_count = 2;
  fields.alloc_size = 4096;
  // Filled with a marker so that every byte the encoder leaves unwritten shows.
  std::vector<std::byte> out(bulk_record_size(fields), std::byte{0xEE});
  ASSERT_EQ(out.size(), 68u);  // 64 reserved + "ab\0", padded to 4; no room for 8
  ASSERT_EQ(pack_bulk_record(out, fields), 68u);
  const unsigned char expected[68] = {
      68,   0,    0,    0, 0x0B, 0, 0,    0x82, 0,    0,    0,    0,    0,    0,    0,   0,    5,
      0,    0,    0,    0, 0,    0, 0,    40,   0,    0,    0,    3,    0,    0,    0,   0x04, 0x03,
      0x02, 0x01, 1,    0, 0,    0, 0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11, 2,   0,    0,
      0,    0,    0x10, 0, 0,    0, 0,    0,    0,    0,    0,    0,    0,    'a',  'b', 0,    0};
  EXPECT_EQ(std::memcmp(out.data(), expected, sizeof expected), 0);

  std::vector<std::byte> roomy(80, std::byte{0xEE});
  ASSERT_EQ(pack_bulk_record(roomy, fields), 72u);  // padded with zeros to 8
  EXPECT_EQ(roomy[0], std::byte{72});
  EXPECT_EQ(std::memcmp(roomy.data() + 68, "\0\0\0\0", 4), 0);
  EXPECT_EQ(roomy[72], std::byte{0xEE});

  std::vector<std::byte> small(67);
  EXPECT_EQ(pack_bulk_record(small, fields), 0u);
}

TEST(BulkRecordEncoder, ErrorRecordCarriesOnlyTheErrorAndTheName) {
  BulkRecordFields fields;
  fields.name = "gone";
  fields.error = EIO;
  fields.obj_type = obj_type_directory;
  std::vector<std::byte> out(bulk_record_size(fields), std::byte{0xEE});
  ASSERT_EQ(out.size(), 44u);  // 36 + "gone\0", padded to 4
  pack_bulk_record(out, fields);
  const unsigned char expected_tail[] = {'g', 'o', 'n', 'e', 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(out.data() + 36, expected_tail, sizeof expected_tail), 0);
  for (const std::size_t unused_word : {8u, 12u, 16u, 20u}) {
    EXPECT_EQ(std::memcmp(out.data() + unused_word, "\0\0\0\0", 4), 0) << unused_word;
  }
  std::vector<BulkEntry> parsed;
  parse_bulk_batch(out, 1, parsed);
  ASSERT_EQ(parsed.size(), 1u);
  EXPECT_EQ(parsed[0].name, "gone");
  EXPECT_EQ(parsed[0].error, static_cast<std::uint32_t>(EIO));
  EXPECT_EQ(parsed[0].obj_type, obj_type_none);
  EXPECT_EQ(static_cast<std::uint8_t>(out[7]), 0xA0);
  EXPECT_EQ(static_cast<std::uint8_t>(out[4]), 0x01);
}

TEST(BulkRecordEncoder, WritesEveryByteOfTheRecordWhateverTheBufferHeld) {
  BulkRecordFields dir{.name = "d",
                       .dev_id = 7,
                       .obj_type = obj_type_directory,
                       .file_id = 9,
                       .mount_status = dir_mntstatus_mntpoint};
  BulkRecordFields bare{.name = "no-attrs",
                        .obj_type = obj_type_fifo,
                        .has_link_count = false,
                        .has_alloc_size = false};
  BulkRecordFields error{.name = "e", .error = EACCES};
  BulkRecordFields long_name{.name = std::string_view("0123456789abcdefghij", 20),
                             .obj_type = obj_type_regular,
                             .link_count = 3,
                             .alloc_size = 512};
  for (const BulkRecordFields& fields : {dir, bare, error, long_name}) {
    SCOPED_TRACE(fields.name);
    for (const std::size_t room : {bulk_record_size(fields), bulk_record_size(fields) + 8}) {
      std::vector<std::byte> marked(room, std::byte{0xEE});
      std::vector<std::byte> zeroed(room);
      const std::size_t n = pack_bulk_record(marked, fields);
      ASSERT_EQ(pack_bulk_record(zeroed, fields), n);
      ASSERT_GT(n, 0u);
      EXPECT_EQ(std::memcmp(marked.data(), zeroed.data(), n), 0);
      std::vector<BulkEntry> parsed;
      parse_bulk_batch(marked, 1, parsed);
      ASSERT_EQ(parsed.size(), 1u);
      EXPECT_EQ(parsed[0].name, fields.name);
    }
  }
}

TEST(BulkProbe, AcceptsExactlyApfsAndHfs) {
  FaultyKernel os;
  for (const char* yes : {"apfs", "hfs"}) {
    os.volume_type = yes;
    EXPECT_TRUE(supports_bulk_attrs(os, "/Users")) << yes;
  }
  for (const char* no :
       {"APFS", "Apfs", "HFS", "hfs+", "hfsx", "apfs2", "ap", "", "ext4", "msdos", "apfs\xff"}) {
    os.volume_type = no;
    EXPECT_FALSE(supports_bulk_attrs(os, "/Users")) << no;
  }
}

TEST(BulkProbe, FailingStatfsAndNulPathAnswerNo) {
  FaultyKernel os;
  os.volume_type = "apfs";
  os.on_volume = [](const testing::KernelCall&) { return EACCES; };
  EXPECT_FALSE(supports_bulk_attrs(os, "/Users"));
  os.on_volume = nullptr;
  EXPECT_FALSE(supports_bulk_attrs(os, std::string_view("/Us\0ers", 7)));
}

TEST(BulkProbe, LinuxVolumesAreNotSupported) {
  TempDir tree;
#if defined(__linux__)
  EXPECT_FALSE(supports_bulk_attrs(tree.path()));
#endif
  EXPECT_FALSE(supports_bulk_attrs(tree.at("missing")));
}

TEST(ReadDirBulk, EmptyDirectoryGivesEmptyList) {
  TempDir tree;
  const auto entries = read_dir_bulk(tree.make_dir("empty"));
  ASSERT_TRUE(entries.has_value()) << entries.error();
  EXPECT_TRUE(entries->empty());
}

TEST(ReadDirBulk, ReportsTypesSizesAndIdentity) {
  TempDir tree;
  tree.write_file("data.bin", 10000);
  tree.make_dir("sub");
  tree.write_file("sub/inner", 1);
  tree.make_symlink("data.bin", "link");
  tree.make_fifo("pipe");
  auto entries = read_dir_bulk(tree.path());
  ASSERT_TRUE(entries.has_value()) << entries.error();
  std::sort(entries->begin(), entries->end(),
            [](const BulkEntry& a, const BulkEntry& b) { return a.name < b.name; });
  ASSERT_EQ(names_of(*entries), (std::vector<std::string>{"data.bin", "link", "pipe", "sub"}));

  struct stat st {};
  ASSERT_EQ(::lstat(tree.at("data.bin").c_str(), &st), 0);
  const auto device = bulk_device_of(platform::system_kernel(), tree.path().c_str());
  ASSERT_TRUE(device.has_value());
  const BulkEntry& file = (*entries)[0];
  EXPECT_EQ(file.obj_type, obj_type_regular);
  EXPECT_EQ(file.alloc_size,
            static_cast<std::int64_t>(testing::allocated_size(tree.at("data.bin"))));
  EXPECT_GT(file.alloc_size, 0);
  EXPECT_EQ(file.file_id, st.st_ino);
  EXPECT_EQ(file.link_count, 1u);
  EXPECT_EQ(file.dev_id, *device);
  EXPECT_EQ(file.error, 0u);
  EXPECT_EQ((*entries)[1].obj_type, obj_type_symlink);
  EXPECT_EQ((*entries)[2].obj_type, obj_type_fifo);
  const BulkEntry& dir = (*entries)[3];
  EXPECT_EQ(dir.obj_type, obj_type_directory);
  EXPECT_EQ(dir.link_count, 1u);
  EXPECT_EQ(dir.alloc_size, 0);
}

TEST(ReadDirBulk, EveryBatchAsksForTheRequestTheOptionsAndTheWholeBuffer) {
  TempDir tree;
  for (int i = 0; i < 5000; ++i) tree.write_file("file-with-a-long-name-" + std::to_string(i));
  testing::FaultyKernel kernel;
  kernel.answers_bulk = true;
  kernel.on_list = [](const testing::KernelCall& call) {
    EXPECT_EQ(call.request != nullptr ? *call.request : AttrListRequest{}, bulk_dir_request);
    EXPECT_EQ(call.options, 0u);  // no option, FSOPT_NOINMEMUPDATE included
    EXPECT_EQ(call.buffer_size, bulk_buffer_size);
    return 0;
  };
  const auto entries = read_dir_bulk(kernel, tree.path());
  ASSERT_TRUE(entries.has_value()) << entries.error();
  EXPECT_EQ(entries->size(), 5000u);
  EXPECT_GE(kernel.lists.load(), 2);
}

TEST(ReadDirBulk, HardLinksCarryTheirRealLinkCount) {
  TempDir tree;
  tree.write_file("a", 5000);
  tree.make_hardlink("a", "b");
  tree.make_hardlink("a", "c");
  const auto entries = read_dir_bulk(tree.path());
  ASSERT_TRUE(entries.has_value());
  ASSERT_EQ(entries->size(), 3u);
  for (const BulkEntry& e : *entries) {
    EXPECT_EQ(e.link_count, 3u) << e.name;
    EXPECT_EQ(e.file_id, entries->front().file_id) << e.name;
  }
}

TEST(ReadDirBulk, NonUtf8NamesComeBackWithReplacementCharacters) {
  TempDir tree;
  TESSALY_CREATE_OR_SKIP(tree.write_file("r\xe9sum\xe9.txt"));
  tree.write_file("plain");
  auto entries = read_dir_bulk(tree.path());
  ASSERT_TRUE(entries.has_value());
  std::set<std::string> names;
  for (const BulkEntry& e : *entries) names.insert(e.name);
  EXPECT_EQ(names, (std::set<std::string>{"plain", "r\xEF\xBF\xBDsum\xEF\xBF\xBD.txt"}));
  for (const BulkEntry& e : *entries) {
    if (e.name == "plain") {
      EXPECT_TRUE(e.raw_name.empty());
      EXPECT_EQ(e.raw(), "plain");
    } else {
      EXPECT_EQ(e.raw_name, "r\xe9sum\xe9.txt");
      EXPECT_EQ(e.raw(), "r\xe9sum\xe9.txt");
    }
  }

  BulkListing listing;
  ASSERT_TRUE(read_dir_bulk_into(platform::system_kernel(), tree.path(), listing));
  std::set<std::string> raw;
  for (std::size_t i = 0; i < listing.size(); ++i) raw.insert(std::string(listing[i].name));
  EXPECT_EQ(raw, (std::set<std::string>{"plain", "r\xe9sum\xe9.txt"}));
}

TEST(ReadDirBulk, ListingIsEmptiedOnFailure) {
  TempDir tree;
  tree.write_file("f");
  BulkListing listing;
  ASSERT_TRUE(read_dir_bulk_into(platform::system_kernel(), tree.path(), listing));
  EXPECT_EQ(listing.size(), 1u);
  const auto failed = read_dir_bulk_into(platform::system_kernel(), tree.at("absent"), listing);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(), ENOENT);
  EXPECT_TRUE(listing.empty());
}

TEST(ReadDirBulk, LargeDirectorySpansSeveralBatchesWithoutDuplicates) {
  TempDir tree;
  const std::string dir = tree.make_dir("many");
  // About 300 bytes of record per entry: 3000 entries need at least 4 batches.
  const std::string stem(230, 'n');
  std::set<std::string> expected;
  for (int i = 0; i < 3000; ++i) {
    const std::string name = stem + std::to_string(i);
    tree.write_text("many/" + name, "");
    expected.insert(name);
  }
  FaultyKernel os;
  const auto entries = read_dir_bulk(os, dir);
  ASSERT_TRUE(entries.has_value()) << entries.error();
  std::multiset<std::string> got;
  for (const BulkEntry& e : *entries) got.insert(e.name);
  EXPECT_EQ(entries->size(), 3000u);
  EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), expected);
  EXPECT_EQ(got.size(), expected.size());
  // Several full batches and the final empty one.
  EXPECT_GE(os.list_sizes().size(), 5u);
  EXPECT_EQ(os.list_sizes().back(), 0u);
  EXPECT_EQ(os.opens.load(), 1);
  EXPECT_EQ(os.closes.load(), 1);
}

TEST(ReadDirBulk, InterruptedCallsAreRepeated) {
  TempDir tree;
  const std::string dir = tree.make_dir("many");
  const std::string stem(230, 'x');
  for (int i = 0; i < 1500; ++i) tree.write_text("many/" + stem + std::to_string(i), "");
  FaultyKernel os;
  os.on_open = testing::scripted({EINTR, EINTR, 0});
  os.on_list = testing::scripted({EINTR, 0, EINTR, EINTR, 0});
  const auto entries = read_dir_bulk(os, dir);
  ASSERT_TRUE(entries.has_value()) << entries.error();
  std::set<std::string> names;
  for (const BulkEntry& e : *entries) names.insert(e.name);
  EXPECT_EQ(entries->size(), 1500u);
  EXPECT_EQ(names.size(), 1500u);
  EXPECT_EQ(os.opens.load(), 1);
  EXPECT_EQ(os.closes.load(), 1);
}

TEST(ReadDirBulk, FailureOnALaterBatchKeepsTheEarlierEntriesAndWarnsOnce) {
  TempDir tree;
  const std::string dir = tree.make_dir("many");
  const std::string stem(230, 'y');
  std::set<std::string> all;
  for (int i = 0; i < 1500; ++i) {
    tree.write_text("many/" + stem + std::to_string(i), "");
    all.insert(stem + std::to_string(i));
  }
  std::ostringstream log;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(log);
  sink->set_pattern("%n|%l|%v");
  install_log_sink(sink, spdlog::level::warn);
  FaultyKernel os;
  os.on_list = testing::scripted({0, EIO});
  const auto entries = read_dir_bulk(os, dir);
  remove_log_sinks();
  ASSERT_TRUE(entries.has_value()) << entries.error();
  // The first batch's entries, each once.
  std::set<std::string> names;
  for (const BulkEntry& e : *entries) names.insert(e.name);
  EXPECT_EQ(names.size(), entries->size());
  EXPECT_GT(entries->size(), 100u);
  EXPECT_LT(entries->size(), 1500u);
  EXPECT_TRUE(std::includes(all.begin(), all.end(), names.begin(), names.end()));
  EXPECT_EQ(os.lists.load(), 2);
  EXPECT_EQ(os.closes.load(), 1);
  EXPECT_EQ(log.str(), "tessaly_lib::macos_walker|warning|scan error: IO error for operation on " +
                           dir + ": " + std::strerror(EIO) + " (os error 5)\n");
}

TEST(ReadDirBulk, OpenFailureIsFinalExceptForInterrupts) {
  TempDir tree;
  FaultyKernel os;
  os.on_open = testing::scripted({EMFILE, 0});
  const auto entries = read_dir_bulk(os, tree.path());
  ASSERT_FALSE(entries.has_value());
  EXPECT_EQ(entries.error(), EMFILE);
  EXPECT_EQ(os.lists.load(), 0);
  EXPECT_EQ(os.closes.load(), 0);
}

TEST(ReadDirBulk, MissingPathNotADirectoryAndNulByte) {
  TempDir tree;
  const std::string file = tree.write_file("plain.txt", 10);
  auto missing = read_dir_bulk(tree.at("absent"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), ENOENT);

  FaultyKernel os;
  auto not_dir = read_dir_bulk(os, file);
  ASSERT_FALSE(not_dir.has_value());
  EXPECT_EQ(not_dir.error(), ENOTDIR);
  EXPECT_EQ(os.opens.load(), 0);
  EXPECT_EQ(os.closes.load(), 0);

  auto nul = read_dir_bulk(std::string(tree.path()) + std::string("\0x", 2));
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(nul.error(), EINVAL);
}

// A walk opens what it listed as a directory only if it still is one: a
// symbolic link put in its place must not lead the walk out of the tree. A
// root or a path a user names is followed.
TEST(ReadDirBulk, ListedSubdirectoriesAreNeverOpenedThroughALink) {
  TempDir outside;
  outside.write_file("elsewhere", 4096);
  TempDir tree;
  tree.make_dir("real");
  tree.make_symlink(outside.path(), "link");
  tree.write_file("plain", 10);
  platform::Kernel& os = platform::system_kernel();

  const int parent = ::open(tree.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(parent, 0);
  const auto through_link = open_bulk_directory_at(os, parent, "link");
  ASSERT_FALSE(through_link.has_value());
  EXPECT_TRUE(through_link.error() == ELOOP || through_link.error() == ENOTDIR)
      << through_link.error();
  const auto on_file = open_bulk_directory_at(os, parent, "plain");
  ASSERT_FALSE(on_file.has_value());
  EXPECT_EQ(on_file.error(), ENOTDIR);
  const auto real = open_bulk_directory_at(os, parent, "real");
  ASSERT_TRUE(real.has_value());
  os.close_descriptor(*real);
  ::close(parent);

  const auto by_path = open_bulk_subdirectory(os, tree.at("link"));
  ASSERT_FALSE(by_path.has_value());
  EXPECT_TRUE(by_path.error() == ELOOP || by_path.error() == ENOTDIR) << by_path.error();
  BulkListing listing;
  const auto refused = read_dir_bulk_into(os, tree.at("link"), listing, false);
  ASSERT_FALSE(refused.has_value());
  EXPECT_TRUE(refused.error() == ELOOP || refused.error() == ENOTDIR) << refused.error();
  EXPECT_EQ(listing.size(), 0u);

  ASSERT_TRUE(read_dir_bulk_into(os, tree.at("link"), listing, true));
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0].name, "elsewhere");
  const auto followed = open_bulk_directory(os, tree.at("link"));
  ASSERT_TRUE(followed.has_value());
  os.close_descriptor(*followed);
}

TEST(ReadDirBulk, UnreadableDirectoryFailsWithAccessDenied) {
  TempDir tree;
  const std::string dir = tree.make_dir("private");
  tree.write_file("private/secret", 10);
  ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(tree.path().c_str(), 0755), 0);
  const int status = testing::run_unprivileged([&] {
    const auto entries = read_dir_bulk(dir);
    if (entries.has_value()) return 10;
    return entries.error() == EACCES ? 0 : 11;
  });
  if (status == -1) GTEST_SKIP() << "cannot drop privileges to uid 65534 here";
  EXPECT_EQ(status, 0);
}

// Readable but not searchable: the names could be listed, but a request for
// file attributes needs search permission, so the whole read fails, as
// getattrlistbulk does, also for an empty directory.
TEST(ReadDirBulk, ReadableButUnsearchableDirectoryFailsWithAccessDenied) {
  TempDir tree;
  const std::string dir = tree.make_dir("listonly");
  const std::string empty = tree.make_dir("listonly-empty");
  tree.write_file("listonly/hidden", 10);
  ASSERT_EQ(::chmod(dir.c_str(), 0744), 0);
  ASSERT_EQ(::chmod(empty.c_str(), 0744), 0);
  ASSERT_EQ(::chmod(tree.path().c_str(), 0755), 0);
  const int status = testing::run_unprivileged([&] {
    for (const std::string& path : {dir, empty}) {
      const auto entries = read_dir_bulk(path);
      if (entries.has_value()) return 10;
      if (entries.error() != EACCES) return 11;
    }
    return 0;
  });
  if (status == -1) GTEST_SKIP() << "cannot drop privileges to uid 65534 here";
  EXPECT_EQ(status, 0);
}

TEST(ReadDirBulk, EachThreadReadsIndependently) {
  TempDir tree;
  for (int d = 0; d < 4; ++d) {
    for (int i = 0; i < 200; ++i)
      tree.write_text("d" + std::to_string(d) + "/f" + std::to_string(i), "");
  }
  std::vector<std::thread> threads;
  std::vector<int> bad(4, 0);
  for (int d = 0; d < 4; ++d) {
    threads.emplace_back([&, d] {
      for (int round = 0; round < 20; ++round) {
        const auto entries = read_dir_bulk(tree.at("d" + std::to_string(d)));
        std::set<std::string> names;
        if (entries) {
          for (const BulkEntry& e : *entries) names.insert(e.name);
        }
        if (!entries || entries->size() != 200 || names.size() != 200) ++bad[d];
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace tessaly
