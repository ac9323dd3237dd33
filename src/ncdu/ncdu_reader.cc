// The streaming reader of ncdu's export format.
//
// The tokenizer is our own rather than a JSON library's: ncdu writes a name's
// bytes as they are, so its exports hold bytes that are not UTF-8 inside JSON
// strings, which a strict parser (nlohmann's included) refuses; and the
// reader must build the result as the bytes arrive, in bounded memory, with
// the line and column of any fault.
#include <limits.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <tessaly/ncdu_export.h>

#include "base/paths.h"
#include "result/aggregator.h"
#include "result/child_listing.h"
#include "result/hardlink_set.h"
#include "result/walk_listing.h"
#include "rules/bundles.h"

namespace tessaly {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// Names are at most NAME_MAX bytes on disk (765 for 255 UTF-16 units of an
// APFS name); the root's name is a path.
constexpr std::size_t kMaxStringBytes = 4096;
// Every level adds at least two bytes ("/" and a name) to a path.
constexpr std::size_t kMaxDepth = PATH_MAX / 2;
constexpr std::size_t kMaxKeyBytes = 16;
// A listing that grew past this many entries gives its memory back when done.
constexpr std::size_t kKeptListingEntries = 4096;

// Thrown inside this file only, turned into the reader's error at its door.
struct Fault {
  NcduImportError error;
};

class Lexer {
 public:
  Lexer(const ImportSource& source, const CancelToken& cancel)
      : source_(source), cancel_(cancel), buffer_(kReadChunk) {}

  // The next byte that is not white space, without consuming it; -1 at the
  // end. Marks the token's place for errors.
  int peek_token() {
    while (true) {
      const int c = peek();
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        advance();
        continue;
      }
      token_line_ = line_;
      token_column_ = column_;
      return c;
    }
  }

  [[noreturn]] void fail(std::string message) const {
    fail_at({token_line_, token_column_}, std::move(message));
  }
  [[noreturn]] static void fail_at(std::pair<std::uint64_t, std::uint64_t> place,
                                   std::string message) {
    throw Fault{NcduImportError{NcduImportError::Kind::kMalformed, std::move(message), place.first,
                                place.second}};
  }
  // Where the last token began.
  std::pair<std::uint64_t, std::uint64_t> place() const { return {token_line_, token_column_}; }

  void expect(char c) {
    const int next = peek_token();
    if (next != c) fail(std::string("expected \"") + c + "\"" + found(next));
    advance();
  }

  // After an element of an array or object: true for ",", false for `close`.
  bool more(char close) {
    const int next = peek_token();
    if (next == ',') {
      advance();
      return true;
    }
    if (next == close) {
      advance();
      return false;
    }
    fail(std::string("expected \",\" or \"") + close + "\"" + found(next));
  }

  // A string into `out` (escapes decoded, other bytes as they are), or, with
  // `out` null, a string skipped. `limit` bounds what is kept.
  void string(std::string* out, std::size_t limit = kMaxStringBytes) {
    if (peek_token() != '"') fail("expected a string" + found(peek_token()));
    advance();
    if (out != nullptr) out->clear();
    std::size_t length = 0;
    const auto put = [&](char c) {
      if (out == nullptr) return;  // skipped: nothing kept, no limit needed
      if (++length > limit) {
        if (limit == kMaxStringBytes) fail("a string longer than 4096 bytes");
        return;  // a long key: kept short, so it matches no known key
      }
      out->push_back(c);
    };
    while (true) {
      const int c = peek();
      if (c < 0) fail("the text ends inside a string");
      advance();
      if (c == '"') return;
      if (c < 0x20) fail("a control character inside a string");
      if (c != '\\') {
        put(static_cast<char>(c));
        continue;
      }
      const int e = peek();
      if (e < 0) fail("the text ends inside a string");
      advance();
      switch (e) {
        case '"':
        case '\\':
        case '/':
          put(static_cast<char>(e));
          break;
        case 'b':
          put('\b');
          break;
        case 'f':
          put('\f');
          break;
        case 'n':
          put('\n');
          break;
        case 'r':
          put('\r');
          break;
        case 't':
          put('\t');
          break;
        case 'u': {
          std::uint32_t code = hex4();
          if (code >= 0xD800 && code < 0xDC00 && peek() == '\\') {
            advance();
            if (peek() != 'u') fail("a bad escape in a string");
            advance();
            const std::uint32_t low = hex4();
            if (low >= 0xDC00 && low < 0xE000) {
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else {
              append_utf8(0xFFFD, put);
              code = low;
            }
          }
          if (code >= 0xD800 && code < 0xE000) code = 0xFFFD;  // a lone surrogate
          append_utf8(code, put);
          break;
        }
        default:
          fail("a bad escape in a string");
      }
    }
  }

  // A JSON number, checked to be a non-negative integer of 64 bits.
  std::uint64_t unsigned_integer(std::string_view field) {
    const int first = peek_token();
    if (first != '-' && (first < '0' || first > '9')) {
      fail(std::string(field) + " must be a non-negative integer" + found(first));
    }
    bool negative = false;
    bool overflow = false;
    bool zero_value = true;
    std::uint64_t value = 0;
    if (first == '-') {
      negative = true;
      advance();
    }
    std::size_t digits = 0;
    while (peek() >= '0' && peek() <= '9') {
      const auto digit = static_cast<std::uint64_t>(peek() - '0');
      if (digit != 0) zero_value = false;
      if (value > (UINT64_MAX - digit) / 10) overflow = true;
      value = value * 10 + digit;
      ++digits;
      advance();
    }
    if (digits == 0) fail("a malformed number");
    const bool fraction = number_tail();
    if (negative && !zero_value) fail(std::string(field) + " must not be negative");
    if (fraction) fail(std::string(field) + " must be an integer");
    if (overflow) fail(std::string(field) + " does not fit in 64 bits");
    return value;
  }

  bool boolean(std::string_view field) {
    const int c = peek_token();
    if (c == 't' || c == 'f') {
      const bool value = c == 't';
      literal(value ? "true" : "false");
      return value;
    }
    fail(std::string(field) + " must be true or false" + found(c));
  }

  // Any value, read and dropped: nesting counts against `room` levels.
  void skip_value(std::size_t room) {
    std::size_t depth = 0;
    std::vector<char> closes;  // bounded by room
    while (true) {
      const int c = peek_token();
      if (c == '{' || c == '[') {
        if (++depth > room) fail("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
        advance();
        const char close = c == '{' ? '}' : ']';
        if (peek_token() == close) {
          advance();
          --depth;
        } else {
          closes.push_back(close);
          if (close == '}') key_colon();
          continue;
        }
      } else if (c == '"') {
        string(nullptr);
      } else if (c == 't') {
        literal("true");
      } else if (c == 'f') {
        literal("false");
      } else if (c == 'n') {
        literal("null");
      } else if (c == '-' || (c >= '0' && c <= '9')) {
        any_number();
      } else {
        fail("expected a value" + found(c));
      }
      // After a value: close what ends here.
      while (!closes.empty()) {
        if (!more(closes.back())) {
          closes.pop_back();
          --depth;
          continue;
        }
        if (closes.back() == '}') key_colon();
        break;
      }
      if (closes.empty()) return;
    }
  }

  // The end of the text, after white space only.
  void end() {
    const int c = peek_token();
    if (c >= 0) fail("text after the end of the export" + found(c));
  }

 private:
  static std::string found(int c) {
    if (c < 0) return ", found the end of the text";
    if (c >= 0x21 && c < 0x7f) return std::string(", found \"") + static_cast<char>(c) + "\"";
    return ", found byte " + std::to_string(c);
  }

  template <typename Put>
  static void append_utf8(std::uint32_t code, const Put& put) {
    if (code < 0x80) {
      put(static_cast<char>(code));
    } else if (code < 0x800) {
      put(static_cast<char>(0xC0 | (code >> 6)));
      put(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      put(static_cast<char>(0xE0 | (code >> 12)));
      put(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      put(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      put(static_cast<char>(0xF0 | (code >> 18)));
      put(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      put(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      put(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  std::uint32_t hex4() {
    std::uint32_t code = 0;
    for (int i = 0; i < 4; ++i) {
      const int c = peek();
      std::uint32_t digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        fail("a bad \\u escape in a string");
      }
      code = code * 16 + digit;
      advance();
    }
    return code;
  }

  void literal(std::string_view word) {
    for (const char expected : word) {
      if (peek() != static_cast<unsigned char>(expected)) fail("not JSON: a misspelt literal");
      advance();
    }
  }

  void any_number() {
    if (peek() == '-') advance();
    std::size_t digits = 0;
    while (peek() >= '0' && peek() <= '9') {
      ++digits;
      advance();
    }
    if (digits == 0) fail("a malformed number");
    number_tail();
  }

  // The fraction and exponent that may follow a number's integer digits:
  // true when they make it no integer (a fraction digit other than 0, or an
  // exponent, which no exporter writes).
  bool number_tail() {
    bool fraction = false;
    if (peek() == '.') {
      advance();
      std::size_t digits = 0;
      while (peek() >= '0' && peek() <= '9') {
        if (peek() != '0') fraction = true;
        ++digits;
        advance();
      }
      if (digits == 0) fail("a malformed number");
    }
    if (peek() == 'e' || peek() == 'E') {
      advance();
      if (peek() == '+' || peek() == '-') advance();
      std::size_t digits = 0;
      while (peek() >= '0' && peek() <= '9') {
        ++digits;
        advance();
      }
      if (digits == 0) fail("a malformed number");
      fraction = true;
    }
    return fraction;
  }

  void key_colon() {
    string(nullptr);
    expect(':');
  }

  int peek() {
    if (position_ == filled_ && !refill()) return -1;
    return static_cast<unsigned char>(buffer_[position_]);
  }
  void advance() {
    if (buffer_[position_] == '\n') {
      ++line_;
      column_ = 1;
    } else {
      ++column_;
    }
    ++position_;
  }
  bool refill() {
    if (at_end_) return false;
    if (cancel_.cancel_requested()) {
      throw Fault{NcduImportError{NcduImportError::Kind::kCancelled, "Import cancelled", 0, 0}};
    }
    auto got = source_(std::span<char>(buffer_.data(), buffer_.size()));
    if (!got) throw Fault{NcduImportError{NcduImportError::Kind::kRead, got.error(), 0, 0}};
    position_ = 0;
    filled_ = std::min(*got, buffer_.size());
    if (filled_ == 0) at_end_ = true;
    return filled_ != 0;
  }

  const ImportSource& source_;
  const CancelToken& cancel_;
  std::vector<char> buffer_;
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
  bool at_end_ = false;
  std::uint64_t line_ = 1;
  std::uint64_t column_ = 1;
  std::uint64_t token_line_ = 1;
  std::uint64_t token_column_ = 1;
};

// The fields of an info object that the import uses.
struct Info {
  std::string name;
  std::pair<std::uint64_t, std::uint64_t> name_place;
  std::pair<std::uint64_t, std::uint64_t> dsize_place;
  bool has_name = false;
  std::uint64_t dsize = 0;
  std::uint64_t dev = 0;
  bool has_dev = false;
  std::uint64_t ino = 0;
  bool has_ino = false;
  std::uint64_t nlink = 0;
  bool hlnkc = false;
  bool uncounted = false;  // a linked name whose file's blocks another name carries
  bool notreg = false;
  bool excluded = false;
};

// One directory being read. A counted directory's items gather in a listing
// recorded whole when it ends, as a walk records a directory it has read.
struct Frame {
  std::size_t path_length;  // of its path in the reader's path buffer
  std::uint64_t dev;
  bool counted;    // its items are recorded (not excluded, not inside a bundle)
  bool in_bundle;  // its regular files add to the open bundle's total
  bool opens_bundle;
  WalkDirId id = kWalkRoot;  // its number in the aggregator, when counted
};

class Reader {
 public:
  Reader(Lexer& lexer, const NcduImportOptions& options) : in_(lexer), options_(options) {}

  std::shared_ptr<const ScanResult> read() {
    in_.expect('[');
    const std::uint64_t major = in_.unsigned_integer("the major version");
    if (major != 1) in_.fail("unsupported major version " + std::to_string(major));
    in_.expect(',');
    in_.unsigned_integer("the minor version");
    in_.expect(',');
    metadata();
    in_.expect(',');
    tree();
    // Later elements belong to later minor versions: read and dropped.
    while (in_.more(']')) in_.skip_value(kMaxDepth);
    in_.end();

    if (folded_depth_) {
      const ScanCounters& counted = aggregator_->counters();
      if (files_found_ && *files_found_ < counted.files_found) {
        in_.fail("files_found is smaller than the files listed");
      }
      if (dirs_found_ && *dirs_found_ < counted.dirs_found) {
        in_.fail("dirs_found is smaller than the directories listed");
      }
      aggregator_->record_unlisted_counts(files_found_ ? *files_found_ - counted.files_found : 0,
                                          dirs_found_ ? *dirs_found_ - counted.dirs_found : 0);
    }
    return aggregator_->finish().result;
  }

 private:
  void metadata() {
    in_.expect('{');
    if (in_.peek_token() == '}') {
      in_.expect('}');
      return;
    }
    do {
      in_.string(&key_, kMaxKeyBytes);
      in_.expect(':');
      if (key_ == "progname") {
        in_.string(&progname_);
      } else if (key_ == "folded_depth") {
        folded_depth_ = in_.unsigned_integer(key_);
      } else if (key_ == "files_found") {
        files_found_ = in_.unsigned_integer(key_);
      } else if (key_ == "dirs_found") {
        dirs_found_ = in_.unsigned_integer(key_);
      } else {
        in_.skip_value(kMaxDepth);
      }
    } while (in_.more('}'));
  }

  // An info object, whose "{" is next.
  void info(Info& out, std::size_t depth) {
    out = Info{};
    out.name.swap(name_spare_);
    in_.expect('{');
    if (in_.peek_token() != '}') {
      do {
        in_.string(&key_, kMaxKeyBytes);
        in_.expect(':');
        if (key_ == "name") {
          in_.string(&out.name);
          out.name_place = in_.place();
          out.has_name = true;
        } else if (key_ == "dsize") {
          out.dsize = in_.unsigned_integer(key_);
          out.dsize_place = in_.place();
        } else if (key_ == "asize") {
          in_.unsigned_integer(key_);
        } else if (key_ == "dev") {
          out.dev = in_.unsigned_integer(key_);
          out.has_dev = true;
        } else if (key_ == "ino") {
          out.ino = in_.unsigned_integer(key_);
          out.has_ino = true;
        } else if (key_ == "nlink") {
          out.nlink = in_.unsigned_integer(key_);
        } else if (key_ == "hlnkc") {
          out.hlnkc = in_.boolean(key_);
        } else if (key_ == "uncounted") {
          out.uncounted = in_.boolean(key_);
        } else if (key_ == "notreg") {
          out.notreg = in_.boolean(key_);
        } else if (key_ == "excluded") {
          // A reason ("pattern", "otherfs", ...), or true in some writers.
          const int c = in_.peek_token();
          if (c == '"') {
            in_.string(nullptr);
            out.excluded = true;
          } else {
            out.excluded = in_.boolean(key_);
          }
        } else {
          in_.skip_value(kMaxDepth - depth);
        }
      } while (in_.more('}'));
    } else {
      in_.expect('}');
    }
    if (!out.has_name) in_.fail("an item has no name");
    if (depth > 0) check_name(out.name, out.name_place);
  }

  static void check_name(const std::string& name, std::pair<std::uint64_t, std::uint64_t> at) {
    if (name.empty()) Lexer::fail_at(at, "a name must not be empty");
    if (name == "." || name == "..") Lexer::fail_at(at, "a name must not be \"" + name + "\"");
    if (name.find('/') != std::string::npos) Lexer::fail_at(at, "a name must not contain \"/\"");
    if (name.find('\0') != std::string::npos) Lexer::fail_at(at, "a name must not contain a NUL");
  }

  // `bytes`, once they are known to keep the total within 64 bits, as every
  // directory total is part of it.
  std::uint64_t counted(std::uint64_t bytes, std::pair<std::uint64_t, std::uint64_t> place) {
    if (__builtin_add_overflow(total_bytes_, bytes, &total_bytes_)) {
      Lexer::fail_at(place, "the sizes add up to more than 64 bits");
    }
    return bytes;
  }

  // The listing of the directory at `index` in the stack.
  ChildListing& listing(std::size_t index) {
    if (listings_.size() <= index) listings_.resize(index + 1);
    ChildListing& items = listings_[index];
    if (items.records() == nullptr) items.start(aggregator_->records(), index + 1);
    return items;
  }

  void tree() {
    std::vector<Frame> stack;
    Info item;
    // The root.
    in_.expect('[');
    info(item, 0);
    if (item.name.empty() || item.name.find('\0') != std::string::npos) {
      Lexer::fail_at(item.name_place, "the root's name must be a path");
    }
    path_ = item.name;
    std::uint64_t depth_limit = options_.tree_depth;
    if (folded_depth_) depth_limit = std::min(depth_limit, *folded_depth_);
    aggregator_.emplace(path_, depth_limit);
    root_dev_ = item.has_dev ? std::optional(item.dev) : std::nullopt;
    if (folded_depth_ && *folded_depth_ == 0) {
      aggregator_->record_unlisted_bytes(path_, counted(item.dsize, item.dsize_place));
    }
    stack.push_back(Frame{path_.size(), item.dev, true, false, false});

    while (!stack.empty()) {
      if (!in_.more(']')) {
        close(stack);
        continue;
      }
      Frame& dir = stack.back();
      const std::uint64_t depth = stack.size();  // of the item
      const int c = in_.peek_token();
      if (c == '{') {
        info(item, depth);
        unique_name(stack.size() - 1, item);
        file(dir, item, stack.size() - 1);
        name_spare_.swap(item.name);
        continue;
      }
      if (c != '[') in_.fail("expected an item, \"{\" or \"[\"");
      if (stack.size() >= kMaxDepth) {
        in_.fail("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
      }
      in_.expect('[');
      info(item, depth);
      unique_name(stack.size() - 1, item);
      const std::uint64_t dev = item.has_dev ? item.dev : dir.dev;
      const bool left_out =
          item.excluded || item.notreg || (item.has_dev && root_dev_ && item.dev != *root_dev_);
      Frame next{0, dev, false, false, false};
      if (!left_out && dir.in_bundle) {
        next.in_bundle = true;
      } else if (!left_out && dir.counted) {
        if (is_bundle_name(item.name)) {
          next.in_bundle = true;
          next.opens_bundle = true;
          bundle_total_ = 0;
        } else {
          // The items so far go as one part of the listing, ending with this
          // directory: the aggregator places a directory before its items.
          ChildListing& items = listing(stack.size() - 1);
          items.add_directory(item.name);
          next.id = next_id_++;
          aggregator_->record_listing(ListingPlace{dir.id, next.id, depth, path_}, items);
          items.clear();
          next.counted = true;
        }
      }
      append_path(path_, item.name);
      next.path_length = path_.size();
      if (next.counted && folded_depth_ && depth == *folded_depth_) {
        aggregator_->record_unlisted_bytes(path_, counted(item.dsize, item.dsize_place));
      }
      stack.push_back(next);
    }
  }

  void file(const Frame& dir, const Info& item, std::size_t index) {
    if (item.excluded || item.notreg || !(dir.counted || dir.in_bundle)) return;
    std::optional<HardLink> link;
    if (item.has_ino && (item.hlnkc || item.nlink >= 2)) {
      const std::uint64_t dev = item.has_dev ? item.dev : dir.dev;
      // gdu marks only the sightings after the first, which it wrote plain;
      // this writer marks the names that do not carry the blocks, so that
      // the name that does is the one the scan counted.
      const bool first = !(item.hlnkc && progname_ == "gdu") && !item.uncounted &&
                         hardlinks_.insert(dev, item.ino);
      // A file that says it is linked but not how often has at least 2 links.
      link = HardLink{dev, item.ino, std::max<std::uint64_t>(item.nlink, 2), item.dsize, first};
    }
    const std::uint64_t size = link && !link->counted ? 0 : item.dsize;
    counted(size, item.dsize_place);
    if (dir.in_bundle) {
      bundle_total_ += size;
    } else if (link) {
      listing(index).add_linked_file(item.name, *link);
    } else {
      listing(index).add_file(item.name, size);
    }
  }

  // Refuses a second item of one name in the directory at `index`: counted
  // twice, it would make that directory larger than the tree it describes.
  void unique_name(std::size_t index, const Info& item) {
    if (names_.size() <= index) names_.resize(index + 1);
    if (!names_[index].insert(item.name).second) {
      Lexer::fail_at(item.name_place, "a name appears twice in one directory");
    }
  }

  void close(std::vector<Frame>& stack) {
    const std::size_t index = stack.size() - 1;
    if (index < names_.size()) names_[index].clear();
    const Frame done = stack.back();
    stack.pop_back();
    ChildListing& items = listing(index);
    if (done.counted)
      aggregator_->record_listing(ListingPlace{done.id, 0, index + 1, path_}, items);
    items.clear();
    items.trim(kKeptListingEntries);
    if (stack.empty()) return;
    const std::size_t parent_length = stack.back().path_length;
    if (done.opens_bundle) {
      // Stands in its parent's listing as one item, where it ends.
      std::string_view name = std::string_view(path_).substr(parent_length);
      if (!name.empty() && name.front() == '/') name.remove_prefix(1);
      listing(index - 1).add_file(name, bundle_total_);
    }
    path_.resize(parent_length);
  }

  Lexer& in_;
  const NcduImportOptions& options_;
  std::string key_;
  std::string name_spare_;
  std::string progname_;
  std::optional<std::uint64_t> folded_depth_;
  std::optional<std::uint64_t> files_found_;
  std::optional<std::uint64_t> dirs_found_;
  std::optional<std::uint64_t> root_dev_;
  std::optional<ScanAggregator> aggregator_;
  WalkDirId next_id_ = kWalkRoot + 1;
  std::vector<std::unordered_set<std::string>> names_;  // of each open directory's items
  HardlinkSet hardlinks_;
  std::string path_;
  std::vector<ChildListing> listings_;
  std::uint64_t bundle_total_ = 0;
  std::uint64_t total_bytes_ = 0;
};

}  // namespace

std::expected<std::shared_ptr<const ScanResult>, NcduImportError> read_ncdu_export(
    const ImportSource& source, const NcduImportOptions& options) {
  try {
    Lexer lexer(source, options.cancel);
    Reader reader(lexer, options);
    return reader.read();
  } catch (const Fault& fault) {
    return std::unexpected(fault.error);
  } catch (const std::bad_alloc&) {
    return std::unexpected(
        NcduImportError{NcduImportError::Kind::kRead, "out of memory while importing", 0, 0});
  }
}

std::expected<std::shared_ptr<const ScanResult>, NcduImportError> read_ncdu_export(
    std::string_view text, const NcduImportOptions& options) {
  bool given = false;
  const ImportSource source =
      [&](std::span<char> buffer) -> std::expected<std::size_t, std::string> {
    if (given) return 0;
    given = true;
    const std::size_t count = std::min(buffer.size(), text.size());
    std::memcpy(buffer.data(), text.data(), count);
    text.remove_prefix(count);
    given = text.empty();
    return count;
  };
  return read_ncdu_export(source, options);
}

}  // namespace tessaly
