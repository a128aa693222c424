#include "snapshot_file.h"

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
#include "float_arena.h"
#include "mapped_allocator.h"
#include "messages.h"
#include "record_list_internals.h"
#include "snapshot_io.h"
#include "snapshot_values.h"

namespace quorvel {
namespace {

namespace format = snapshot;
namespace messages = storage::messages;

using Bytes = std::vector<std::byte, MappedAllocator<std::byte>>;
using Sections = SnapshotLoad::Sections;

// Records whose columns one task builds.
constexpr std::size_t kColumnChunk = 8192;

std::unexpected<SnapshotRefusal> refuse(std::string_view reason) {
  return std::unexpected(SnapshotRefusal{std::string(reason)});
}

std::string version_bytes(const char* bytes, std::uint32_t length) {
  return std::string(bytes, std::min<std::size_t>(length, format::kLongestVersionBytes));
}

// Reads the blocks [first, first + count) of `entry` into `into` (where
// block 0 of the section goes), checking each; false on the first wrong
// one or failed read.
bool read_blocks(const Sections& file, const format::SectionEntry& entry, std::byte* into, std::size_t first,
                 std::size_t count) {
  for (std::size_t block = first; block < first + count; ++block) {
    const std::uint64_t at = block * format::kBlockBytes;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(format::kBlockBytes, entry.bytes - at));
    if (!read_fully(file.fd, into + at, length, entry.offset + at)) return false;
    if (checksum64({into + at, length}) != file.checksums[entry.first_block + block]) return false;
  }
  return true;
}

std::size_t block_count(std::uint64_t bytes) {
  return static_cast<std::size_t>((bytes + format::kBlockBytes - 1) / format::kBlockBytes);
}

// The whole section `entry` read into `into` (entry.bytes long), its blocks
// in parallel.
bool read_section(const Sections& file, const format::SectionEntry& entry, std::byte* into,
                  const ParallelFor& parallel_for) {
  std::atomic<bool> intact = true;
  parallel_for(block_count(entry.bytes), [&](std::size_t begin, std::size_t end) {
    if (intact && !read_blocks(file, entry, into, begin, end - begin)) intact = false;
  });
  return intact;
}

// A section read whole into memory, as values of T.
template <typename T>
struct Column {
  Bytes bytes;
  std::span<const T> values() const {
    return {reinterpret_cast<const T*>(bytes.data()), bytes.size() / sizeof(T)};
  }
};

template <typename T>
bool read_column(const Sections& file, format::Section kind, std::size_t count, const ParallelFor& parallel_for,
                 Column<T>& column) {
  const format::SectionEntry* entry = file.find(static_cast<std::uint32_t>(kind));
  if (entry == nullptr || entry->bytes != count * sizeof(T)) return false;
  column.bytes.resize(entry->bytes);
  return read_section(file, *entry, column.bytes.data(), parallel_for);
}

// Reads an owner's section in order, a checked block at a time.
class SectionReader : public SnapshotSectionReader {
 public:
  SectionReader(std::shared_ptr<Sections> file, const format::SectionEntry& entry)
      : file_(std::move(file)), entry_(entry) {}

  std::uint64_t size() const override { return entry_.bytes; }

  bool read(std::span<std::byte> into) override {
    while (!into.empty()) {
      if (failed_) return false;
      if (staged_at_ == staged_.size()) {
        if (!stage_next()) {
          failed_ = true;
          return false;
        }
      }
      const std::size_t taken = std::min(into.size(), staged_.size() - staged_at_);
      std::memcpy(into.data(), staged_.data() + staged_at_, taken);
      staged_at_ += taken;
      into = into.subspan(taken);
    }
    return !failed_;
  }

 private:
  bool stage_next() {
    const std::uint64_t at = next_block_ * format::kBlockBytes;
    if (at >= entry_.bytes) return false;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(format::kBlockBytes, entry_.bytes - at));
    staged_.resize(length);
    staged_at_ = 0;
    if (!read_fully(file_->fd, staged_.data(), length, entry_.offset + at)) return false;
    return checksum64(std::span<const std::byte>(staged_)) == file_->checksums[entry_.first_block + next_block_++];
  }

  std::shared_ptr<Sections> file_;
  format::SectionEntry entry_;
  Bytes staged_;
  std::size_t staged_at_ = 0;
  std::uint64_t next_block_ = 0;
  bool failed_ = false;
};

}  // namespace

Sections::~Sections() {
  if (fd >= 0) ::close(fd);
}

const format::SectionEntry* Sections::find(std::uint32_t kind) const {
  for (std::uint32_t i = 0; i < header.section_count; ++i) {
    if (header.sections[i].kind == kind) return &header.sections[i];
  }
  return nullptr;
}

std::unique_ptr<SnapshotSectionReader> SnapshotLoad::section(std::uint32_t kind) {
  if (!sections) return nullptr;
  const std::uint32_t stored_kind = format::kFirstOwnerSection + kind;
  for (std::uint32_t i = 0; i < sections->header.section_count; ++i) {
    if (sections->header.sections[i].kind != stored_kind || sections->taken[i]) continue;
    sections->taken[i] = true;
    return section_reader(sections, sections->header.sections[i]);
  }
  return nullptr;
}

std::unique_ptr<SnapshotSectionReader> section_reader(std::shared_ptr<Sections> file,
                                                      const format::SectionEntry& entry) {
  return std::make_unique<SectionReader>(std::move(file), entry);
}

std::expected<std::shared_ptr<Sections>, SnapshotRefusal> open_snapshot(const std::string& path,
                                                                       const DatabaseVersion& version) {
  auto file = std::make_shared<Sections>();
  file->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file->fd < 0) {
    if (errno == ENOENT) return refuse(messages::kCompanionMissing);
    return refuse(std::string(messages::kCompanionUnreadable) + std::strerror(errno));
  }
  struct stat status {};
  if (::fstat(file->fd, &status) != 0 || !S_ISREG(status.st_mode)) return refuse(messages::kCompanionNotOne);
  const auto file_bytes = static_cast<std::uint64_t>(status.st_size);

  format::Header& header = file->header;
  if (file_bytes < format::kHeaderBytes || !read_fully(file->fd, &header, sizeof header, 0) ||
      std::memcmp(header.magic, format::kMagic, sizeof header.magic) != 0) {
    return refuse(messages::kCompanionNotOne);
  }
  if (header.format_version != format::kFormatVersion) return refuse(messages::kCompanionFormat);
  if (checksum64({reinterpret_cast<const std::byte*>(&header), offsetof(format::Header, header_checksum)}) !=
      header.header_checksum) {
    return refuse(messages::kCompanionHeaderDamaged);
  }
  // The header's checksum held: what it says was written as it is, but its
  // numbers are still checked before they size anything.
  if (header.section_count > format::kMostSections || header.base_bytes > file_bytes ||
      header.database_id_bytes > format::kLongestVersionBytes || header.stamp_bytes > format::kLongestVersionBytes) {
    return refuse(messages::kCompanionInconsistent);
  }
  for (std::uint32_t i = 0; i < header.section_count; ++i) {
    const format::SectionEntry& entry = header.sections[i];
    if (entry.offset % format::kPageBytes != 0 || entry.offset < format::kHeaderBytes ||
        entry.bytes > header.base_bytes || entry.offset > header.base_bytes - entry.bytes) {
      return refuse(messages::kCompanionInconsistent);
    }
  }
  if (version_bytes(header.database_id, header.database_id_bytes) != version.database_id) {
    return refuse(messages::kCompanionOtherDatabase);
  }
  if (header.schema_version != version.schema_version) return refuse(messages::kCompanionOtherSchema);

  const format::SectionEntry* table = file->find(static_cast<std::uint32_t>(format::Section::kChecksums));
  if (table == nullptr || table->bytes % sizeof(std::uint64_t) != 0) return refuse(messages::kCompanionInconsistent);
  file->checksums.resize(table->bytes / sizeof(std::uint64_t));
  if (!read_fully(file->fd, file->checksums.data(), table->bytes, table->offset) ||
      checksum64(std::as_bytes(std::span(file->checksums))) != header.checksum_table_hash) {
    return refuse(messages::kCompanionDamaged);
  }
  for (std::uint32_t i = 0; i < header.section_count; ++i) {
    const format::SectionEntry& entry = header.sections[i];
    if (entry.kind == static_cast<std::uint32_t>(format::Section::kChecksums)) continue;
    if (entry.first_block > file->checksums.size() ||
        block_count(entry.bytes) > file->checksums.size() - entry.first_block) {
      return refuse(messages::kCompanionInconsistent);
    }
  }
  file->taken.assign(header.section_count, false);
  return file;
}

std::expected<ChangeChain, SnapshotRefusal> read_change_chain(const Sections& file,
                                                             const DatabaseVersion& version) {
  const format::Header& header = file.header;
  VersionStep reached{header.counter, version_bytes(header.stamp, header.stamp_bytes)};
  const VersionStep wanted{version.counter, version.stamp};
  struct stat status {};
  if (::fstat(file.fd, &status) != 0) return refuse(messages::kCompanionOtherVersion);
  const std::uint64_t tail_bytes = static_cast<std::uint64_t>(status.st_size) - header.base_bytes;
  Bytes tail(tail_bytes);
  if (!read_fully(file.fd, tail.data(), tail.size(), header.base_bytes)) return refuse(messages::kCompanionOtherVersion);
  std::vector<std::uint64_t> ends;
  std::vector<ChangeEntry> entries =
      decode_changes(std::string_view(reinterpret_cast<const char*>(tail.data()), tail.size()), ends);
  // The longest run of entries, each made on the version the one before
  // made, that ends at the version wanted (entries of a note alone keep the
  // version, so several may).
  std::optional<std::size_t> used;
  if (reached == wanted) used = 0;
  for (std::size_t i = 0; i < entries.size() && entries[i].before == reached; ++i) {
    reached = entries[i].after;
    if (reached == wanted) used = i + 1;
  }
  if (!used) return refuse(messages::kCompanionOtherVersion);
  entries.resize(*used);
  ChangeChain chain;
  chain.entries = std::move(entries);
  chain.end = header.base_bytes + (*used == 0 ? 0 : ends[*used - 1]);
  return chain;
}

std::expected<RecordList, SnapshotRefusal> read_snapshot_records(const Sections& file,
                                                                const ParallelFor& parallel_for) {
  const format::Header& header = file.header;
  const std::size_t count = static_cast<std::size_t>(header.record_count);
  Column<std::uint32_t> id_lengths;
  Column<char> id_bytes;
  Column<std::uint64_t> metadata_ends;
  Column<char> metadata_bytes;
  Column<std::uint8_t> timestamp_flags;
  Column<std::uint64_t> timestamp_values;
  Column<std::uint32_t> vector_lengths;
  const bool timestamps = file.find(static_cast<std::uint32_t>(format::Section::kTimestamps)) != nullptr;
  const format::SectionEntry* id_section = file.find(static_cast<std::uint32_t>(format::Section::kIdBytes));
  const format::SectionEntry* metadata_section = file.find(static_cast<std::uint32_t>(format::Section::kMetadataBytes));
  const format::SectionEntry* vectors = file.find(static_cast<std::uint32_t>(format::Section::kVectors));
  if (id_section == nullptr || metadata_section == nullptr || vectors == nullptr ||
      vectors->bytes != header.float_count * sizeof(float)) {
    return refuse(messages::kCompanionInconsistent);
  }
  bool read = read_column(file, format::Section::kIdLengths, count, parallel_for, id_lengths) &&
              read_column(file, format::Section::kIdBytes, id_section->bytes, parallel_for, id_bytes) &&
              read_column(file, format::Section::kMetadataEnds, count, parallel_for, metadata_ends) &&
              read_column(file, format::Section::kMetadataBytes, metadata_section->bytes, parallel_for,
                          metadata_bytes) &&
              read_column(file, format::Section::kVectorLengths, count, parallel_for, vector_lengths);
  if (read && timestamps) {
    read = read_column(file, format::Section::kTimestampFlags, count, parallel_for, timestamp_flags) &&
           read_column(file, format::Section::kTimestamps, count, parallel_for, timestamp_values);
  }
  if (!read) return refuse(messages::kCompanionDamaged);

  // Where each id begins, and that the lengths add up.
  std::vector<std::uint64_t> id_starts(count + 1, 0);
  std::uint64_t floats = 0;
  for (std::size_t i = 0; i < count; ++i) {
    id_starts[i + 1] = id_starts[i] + id_lengths.values()[i];
    floats += vector_lengths.values()[i];
  }
  const auto ends = metadata_ends.values();
  if (id_starts[count] != id_bytes.bytes.size() || floats != header.float_count ||
      (count > 0 && ends[count - 1] != metadata_bytes.bytes.size()) ||
      (count == 0 && !metadata_bytes.bytes.empty())) {
    return refuse(messages::kCompanionInconsistent);
  }

  // The vectors straight into the arena, each block checked as it lands.
  FloatArena arena;
  float* into = arena.grow(static_cast<std::size_t>(header.float_count));
  if (!read_section(file, *vectors, reinterpret_cast<std::byte*>(into), parallel_for)) {
    return refuse(messages::kCompanionDamaged);
  }

  std::vector<std::string> ids(count);
  std::vector<std::optional<JsonValue>> metadata(count);
  std::vector<std::optional<std::uint64_t>> stamps(timestamps ? count : 0);
  std::atomic<bool> consistent = true;
  const std::string_view all_ids(reinterpret_cast<const char*>(id_bytes.bytes.data()), id_bytes.bytes.size());
  const std::string_view all_metadata(reinterpret_cast<const char*>(metadata_bytes.bytes.data()),
                                      metadata_bytes.bytes.size());
  parallel_for((count + kColumnChunk - 1) / kColumnChunk, [&](std::size_t begin, std::size_t end) {
    for (std::size_t chunk = begin; chunk < end && consistent; ++chunk) {
      const std::size_t last = std::min(count, (chunk + 1) * kColumnChunk);
      for (std::size_t i = chunk * kColumnChunk; i < last; ++i) {
        ids[i] = all_ids.substr(id_starts[i], id_starts[i + 1] - id_starts[i]);
        // Strictly ascending ids: the order an open gives, and no id twice.
        if (i > 0 && !(all_ids.substr(id_starts[i - 1], id_starts[i] - id_starts[i - 1]) < ids[i])) {
          consistent = false;
          break;
        }
        const std::uint64_t from = i == 0 ? 0 : ends[i - 1];
        if (ends[i] < from || ends[i] > all_metadata.size()) {
          consistent = false;
          break;
        }
        if (ends[i] > from) {
          metadata[i] = read_binary_value(all_metadata.substr(from, ends[i] - from), kMaxMetadataNesting);
          if (!metadata[i]) {
            consistent = false;
            break;
          }
        }
        if (timestamps) {
          const std::uint8_t flag = timestamp_flags.values()[i];
          if (flag > 1) {
            consistent = false;
            break;
          }
          if (flag == 1) stamps[i] = timestamp_values.values()[i];
        }
      }
    }
  });
  if (!consistent) return refuse(messages::kCompanionInconsistent);

  RecordList list;
  RecordListInternals::adopt(list, std::move(ids), std::move(metadata), vector_lengths.values(), std::move(stamps),
                             std::move(arena));
  return list;
}

}  // namespace quorvel
