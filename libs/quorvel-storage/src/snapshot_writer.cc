#include "snapshot_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

#include "checksum.h"
#include "mapped_allocator.h"
#include "record_list_internals.h"
#include "snapshot_format.h"
#include "snapshot_io.h"
#include "snapshot_values.h"

namespace quorvel {
namespace {

namespace format = snapshot;

using Bytes = std::vector<std::byte, MappedAllocator<std::byte>>;

// Records whose metadata one task encodes.
constexpr std::size_t kMetadataChunk = 4096;

template <typename T>
std::span<const std::byte> bytes_of(const std::vector<T>& values) {
  return std::as_bytes(std::span(values));
}

// The file being written: sections one after another, each from a page
// boundary, and the checksum of every block of each.
class SnapshotOutput {
 public:
  SnapshotOutput(int fd, const ParallelFor& parallel_for) : fd_(fd), parallel_for_(parallel_for) {}

  bool failed() const { return failed_.load(); }
  std::uint64_t end() const { return end_; }
  const std::vector<std::uint64_t>& checksums() const { return checksums_; }
  std::vector<format::SectionEntry>& sections() { return sections_; }

  // A section whose bytes are produced block by block: fill(block, into)
  // writes block `block` of the section (kBlockBytes long but for the last)
  // into `into`. Blocks are made, checksummed and written in parallel.
  template <typename Fill>
  void add_blocks(std::uint32_t kind, std::uint64_t bytes, const Fill& fill) {
    const format::SectionEntry entry = start(kind, bytes);
    const std::size_t blocks = (bytes + format::kBlockBytes - 1) / format::kBlockBytes;
    checksums_.resize(checksums_.size() + blocks);
    parallel_for_(blocks, [&](std::size_t begin, std::size_t end) {
      Bytes buffer(format::kBlockBytes);
      for (std::size_t block = begin; block < end && !failed(); ++block) {
        const std::uint64_t at = block * format::kBlockBytes;
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(format::kBlockBytes, bytes - at));
        const std::byte* data = fill(block, std::span(buffer.data(), length));
        checksums_[entry.first_block + block] = checksum64({data, length});
        if (!write_fully(fd_, data, length, entry.offset + at)) failed_ = true;
      }
    });
  }

  // A section of bytes held in memory.
  void add(std::uint32_t kind, std::span<const std::byte> bytes) {
    add_blocks(kind, bytes.size(), [&](std::size_t block, std::span<std::byte>) {
      return bytes.data() + block * format::kBlockBytes;
    });
  }

  // A section written in pieces of any length, on the calling thread.
  class Stream : public SnapshotSectionWriter {
   public:
    Stream(SnapshotOutput& out, std::uint32_t kind)
        : out_(out), entry_index_(out.sections_.size()), buffer_(format::kBlockBytes) {
      out_.start(kind, 0);
    }
    void write(std::span<const std::byte> bytes) override {
      while (!bytes.empty()) {
        const std::size_t taken = std::min(bytes.size(), format::kBlockBytes - filled_);
        std::memcpy(buffer_.data() + filled_, bytes.data(), taken);
        filled_ += taken;
        bytes = bytes.subspan(taken);
        if (filled_ == format::kBlockBytes) flush();
      }
    }
    void finish() {
      if (filled_ > 0) flush();
      out_.end_ = round_up(out_.sections_[entry_index_].offset + written_, format::kPageBytes);
    }

   private:
    void flush() {
      format::SectionEntry& entry = out_.sections_[entry_index_];
      out_.checksums_.push_back(checksum64({buffer_.data(), filled_}));
      if (!write_fully(out_.fd_, buffer_.data(), filled_, entry.offset + written_)) out_.failed_ = true;
      written_ += filled_;
      entry.bytes = written_;
      filled_ = 0;
    }

    SnapshotOutput& out_;
    std::size_t entry_index_;
    Bytes buffer_;
    std::size_t filled_ = 0;
    std::uint64_t written_ = 0;
  };

 private:
  format::SectionEntry start(std::uint32_t kind, std::uint64_t bytes) {
    format::SectionEntry entry;
    entry.kind = kind;
    entry.offset = end_;
    entry.bytes = bytes;
    entry.first_block = checksums_.size();
    sections_.push_back(entry);
    end_ = round_up(end_ + bytes, format::kPageBytes);
    return entry;
  }

  int fd_;
  const ParallelFor& parallel_for_;
  std::uint64_t end_ = format::kHeaderBytes;
  std::vector<std::uint64_t> checksums_;
  std::vector<format::SectionEntry> sections_;
  std::atomic<bool> failed_ = false;
};

// The binary metadata of the records in `order`, back to back, and where
// each record's value ends (absent metadata: an empty value).
void encode_metadata(const RecordList& records, std::span<const std::size_t> order, const ParallelFor& parallel_for,
                     std::vector<std::uint64_t>& ends, Bytes& bytes) {
  const std::size_t chunks = (order.size() + kMetadataChunk - 1) / kMetadataChunk;
  std::vector<std::string> encoded(chunks);
  ends.resize(order.size());
  parallel_for(chunks, [&](std::size_t begin, std::size_t end) {
    for (std::size_t chunk = begin; chunk < end; ++chunk) {
      const std::size_t last = std::min(order.size(), (chunk + 1) * kMetadataChunk);
      for (std::size_t i = chunk * kMetadataChunk; i < last; ++i) {
        // Null metadata is stored as JSON null, which reads back as none.
        const auto& metadata = records.metadata(order[i]);
        if (metadata && !metadata->is_null()) append_binary_value(encoded[chunk], *metadata);
        ends[i] = encoded[chunk].size();  // within the chunk for now
      }
    }
  });
  std::uint64_t before = 0;
  for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
    const std::size_t last = std::min(order.size(), (chunk + 1) * kMetadataChunk);
    for (std::size_t i = chunk * kMetadataChunk; i < last; ++i) ends[i] += before;
    before += encoded[chunk].size();
  }
  bytes.resize(before);
  std::uint64_t at = 0;
  for (const std::string& chunk : encoded) {
    std::memcpy(bytes.data() + at, chunk.data(), chunk.size());
    at += chunk.size();
  }
}

void copy_version(char* into, std::uint32_t& length, const std::string& bytes) {
  length = static_cast<std::uint32_t>(bytes.size());
  std::memcpy(into, bytes.data(), bytes.size());
}

std::unexpected<std::string> system_error(std::string_view what) {
  return std::unexpected(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

std::vector<std::size_t> id_order(const RecordList& records) {
  std::vector<std::size_t> order;
  order.reserve(records.size());
  for (auto it = records.begin(); it != records.end(); ++it) order.push_back(it.position());
  const auto by_id = [&](std::size_t a, std::size_t b) { return records.id(a) < records.id(b); };
  // The list is in id order but for what was appended since it was
  // loaded: sort that tail and merge it in.
  auto sorted_end = order.begin();
  if (!order.empty()) {
    sorted_end = std::is_sorted_until(order.begin(), order.end(), by_id);
  }
  std::sort(sorted_end, order.end(), by_id);
  std::inplace_merge(order.begin(), sorted_end, order.end(), by_id);
  return order;
}

std::expected<std::uint64_t, std::string> write_snapshot(const std::string& path, const std::string& new_path,
                                                         mode_t mode, const RecordList& records,
                                                         const DatabaseVersion& version, const SnapshotAnnex* annex,
                                                         const ParallelFor& parallel_for) {
  if (version.database_id.size() > format::kLongestVersionBytes ||
      version.stamp.size() > format::kLongestVersionBytes) {
    return std::unexpected(std::string("the database's version is longer than a companion records"));
  }
  // Whatever a killed writer (or anyone) left under the new name goes first,
  // a link as a link: the file is made afresh, never written through a link.
  (void)::unlink(new_path.c_str());
  const int fd = ::open(new_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode & 0777);
  if (fd < 0) return system_error(new_path);
  // The process's umask may have cleared bits: give it the database's.
  (void)::fchmod(fd, mode & 0777);
  const auto fail = [&](std::string_view what) {
    auto failure = system_error(what);
    ::close(fd);
    ::unlink(new_path.c_str());
    return failure;
  };

  const std::vector<std::size_t> order = id_order(records);
  const std::size_t count = order.size();
  std::vector<std::uint32_t> id_lengths(count);
  std::vector<std::uint32_t> vector_lengths(count);
  std::vector<std::uint64_t> vector_starts(count + 1, 0);  // in floats, in the written order
  std::uint64_t id_bytes = 0;
  bool timestamps = false;
  for (std::size_t i = 0; i < count; ++i) {
    id_lengths[i] = static_cast<std::uint32_t>(records.id(order[i]).size());
    vector_lengths[i] = static_cast<std::uint32_t>(records.vector(order[i]).size());
    vector_starts[i + 1] = vector_starts[i] + vector_lengths[i];
    id_bytes += id_lengths[i];
    timestamps = timestamps || records.timestamp(order[i]).has_value();
  }
  Bytes ids(id_bytes);
  {
    std::uint64_t at = 0;
    for (const std::size_t position : order) {
      const std::string_view id = records.id(position);
      std::memcpy(ids.data() + at, id.data(), id.size());
      at += id.size();
    }
  }
  std::vector<std::uint64_t> metadata_ends;
  Bytes metadata;
  encode_metadata(records, order, parallel_for, metadata_ends, metadata);

  SnapshotOutput out(fd, parallel_for);
  out.add(static_cast<std::uint32_t>(format::Section::kIdLengths), bytes_of(id_lengths));
  out.add(static_cast<std::uint32_t>(format::Section::kIdBytes), std::span<const std::byte>(ids));
  out.add(static_cast<std::uint32_t>(format::Section::kMetadataEnds), bytes_of(metadata_ends));
  out.add(static_cast<std::uint32_t>(format::Section::kMetadataBytes), std::span<const std::byte>(metadata));
  if (timestamps) {
    std::vector<std::uint8_t> flags(count);
    std::vector<std::uint64_t> values(count);
    for (std::size_t i = 0; i < count; ++i) {
      const auto timestamp = records.timestamp(order[i]);
      flags[i] = timestamp.has_value();
      values[i] = timestamp.value_or(0);
    }
    out.add(static_cast<std::uint32_t>(format::Section::kTimestampFlags), bytes_of(flags));
    out.add(static_cast<std::uint32_t>(format::Section::kTimestamps), bytes_of(values));
  }
  out.add(static_cast<std::uint32_t>(format::Section::kVectorLengths), bytes_of(vector_lengths));

  // The vectors in the written order. When they lie so in the arena already
  // (a list in id order, without holes) the arena is written as it is;
  // otherwise each block is gathered first.
  const float* arena = RecordListInternals::arena(records).data();
  const std::uint64_t floats = vector_starts[count];
  bool in_place = true;
  for (std::size_t i = 0; i < count && in_place; ++i) {
    in_place = vector_lengths[i] == 0 || records.vector(order[i]).data() == arena + vector_starts[i];
  }
  const auto* arena_bytes = reinterpret_cast<const std::byte*>(arena);
  out.add_blocks(static_cast<std::uint32_t>(format::Section::kVectors), floats * sizeof(float),
                 [&](std::size_t block, std::span<std::byte> into) -> const std::byte* {
                   const std::uint64_t first = block * format::kBlockBytes / sizeof(float);
                   if (in_place) return arena_bytes + first * sizeof(float);
                   const std::uint64_t last = first + into.size() / sizeof(float);
                   auto* out_floats = reinterpret_cast<float*>(into.data());
                   // The record holding float `first`, then each after it.
                   std::size_t i = static_cast<std::size_t>(
                       std::upper_bound(vector_starts.begin(), vector_starts.end(), first) - vector_starts.begin() - 1);
                   for (std::uint64_t at = first; at < last; ++i) {
                     const std::span<const float> vector = records.vector(order[i]);
                     const std::uint64_t skip = at - vector_starts[i];
                     const std::uint64_t take = std::min<std::uint64_t>(vector.size() - skip, last - at);
                     std::memcpy(out_floats + (at - first), vector.data() + skip, take * sizeof(float));
                     at += take;
                   }
                   return into.data();
                 });

  if (annex != nullptr) {
    for (const std::uint32_t kind : annex->section_kinds()) {
      SnapshotOutput::Stream stream(out, format::kFirstOwnerSection + kind);
      annex->write_section(kind, order, stream);
      stream.finish();
    }
  }
  // The checksum table last: it covers every section before it.
  const std::vector<std::uint64_t> table = out.checksums();
  out.add(static_cast<std::uint32_t>(format::Section::kChecksums), bytes_of(table));
  if (out.failed()) return fail(new_path);

  format::Header header{};
  std::memcpy(header.magic, format::kMagic, sizeof header.magic);
  header.format_version = format::kFormatVersion;
  header.section_count = static_cast<std::uint32_t>(out.sections().size());
  header.record_count = count;
  header.float_count = floats;
  header.base_bytes = out.end();
  header.counter = version.counter;
  header.schema_version = version.schema_version;
  copy_version(header.database_id, header.database_id_bytes, version.database_id);
  copy_version(header.stamp, header.stamp_bytes, version.stamp);
  header.checksum_table_hash = checksum64(bytes_of(table));
  if (out.sections().size() > format::kMostSections) {
    errno = E2BIG;
    return fail(new_path);
  }
  std::copy(out.sections().begin(), out.sections().end(), header.sections);
  header.header_checksum =
      checksum64({reinterpret_cast<const std::byte*>(&header), offsetof(format::Header, header_checksum)});
  std::vector<std::byte> page(format::kHeaderBytes);
  std::memcpy(page.data(), &header, sizeof header);
  // The file's length is the base's: change entries are appended after it.
  if (!write_fully(fd, page.data(), page.size(), 0) || ::ftruncate(fd, static_cast<off_t>(out.end())) != 0) {
    return fail(new_path);
  }
  if (::close(fd) != 0) {
    ::unlink(new_path.c_str());
    return system_error(new_path);
  }
  if (::rename(new_path.c_str(), path.c_str()) != 0) {
    auto failure = system_error(path);
    ::unlink(new_path.c_str());
    return failure;
  }
  return header.base_bytes;
}

}  // namespace quorvel
