#include "snapshot_file.h"

#include <fcntl.h>
#include <sys/mman.h>
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
#include "populated.h"
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
// block `first` goes), checking each; false on the first wrong one or
// failed read.
bool read_blocks(const Sections& file, const format::SectionEntry& entry, std::byte* into, std::size_t first,
                 std::size_t count) {
  for (std::size_t block = first; block < first + count; ++block) {
    const std::uint64_t at = block * format::kBlockBytes;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(format::kBlockBytes, entry.bytes - at));
    if (!read_fully(file.fd, into, length, entry.offset + at)) return false;
    if (checksum64({into, length}) != file.checksums[entry.first_block + block]) return false;
    into += length;
  }
  return true;
}

std::size_t block_count(std::uint64_t bytes) {
  return static_cast<std::size_t>((bytes + format::kBlockBytes - 1) / format::kBlockBytes);
}

// The blocks [first, first + count) of `entry` read into `into`, in
// parallel with the file's parallel_for. Each block is checked right after
// it is read, while it is still in the cache.
bool read_block_run(const Sections& file, const format::SectionEntry& entry, std::byte* into, std::size_t first,
                    std::size_t count) {
  std::atomic<bool> intact = true;
  file.parallel_for(count, [&](std::size_t begin, std::size_t end) {
    if (intact && !read_blocks(file, entry, into + begin * format::kBlockBytes, first + begin, end - begin)) {
      intact = false;
    }
  });
  return intact;
}

// The sections of the records but their vectors, which lie together
// before the vectors: mapped from the file (its pages as the kernel holds
// them, without a copy), each block checked, and read in place.
class MappedSections {
 public:
  ~MappedSections() {
    if (base_ != nullptr) ::munmap(base_, bytes_);
  }

  // Maps [from, to) of the file and checks every block of `entries` (all of
  // which lie inside it) in parallel; false when a block is wrong or the
  // mapping fails.
  bool map(const Sections& file, std::uint64_t from, std::uint64_t to,
           std::span<const format::SectionEntry* const> entries, const ParallelFor& parallel_for) {
    from_ = from;
    bytes_ = static_cast<std::size_t>(to - from);
    if (bytes_ == 0) return true;
    void* mapped = ::mmap(nullptr, bytes_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.fd, static_cast<off_t>(from));
    if (mapped == MAP_FAILED) return false;
    base_ = static_cast<std::byte*>(mapped);
    struct Block {
      const format::SectionEntry* entry;
      std::size_t block;
    };
    std::vector<Block> blocks;
    for (const format::SectionEntry* entry : entries) {
      for (std::size_t block = 0; block < block_count(entry->bytes); ++block) blocks.push_back({entry, block});
    }
    std::atomic<bool> intact = true;
    parallel_for(blocks.size(), [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end && intact; ++i) {
        const auto [entry, block] = blocks[i];
        const std::uint64_t at = block * format::kBlockBytes;
        const std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(format::kBlockBytes, entry->bytes - at));
        if (checksum64({base_ + (entry->offset - from_) + at, length}) != file.checksums[entry->first_block + block]) {
          intact = false;
        }
      }
    });
    return intact;
  }

  // The bytes of `entry` as values of T.
  template <typename T>
  std::span<const T> values(const format::SectionEntry& entry) const {
    return {reinterpret_cast<const T*>(base_ + (entry.offset - from_)), static_cast<std::size_t>(entry.bytes / sizeof(T))};
  }
  std::string_view text(const format::SectionEntry& entry) const {
    return {reinterpret_cast<const char*>(base_ + (entry.offset - from_)), static_cast<std::size_t>(entry.bytes)};
  }

 private:
  std::byte* base_ = nullptr;
  std::size_t bytes_ = 0;
  std::uint64_t from_ = 0;
};

// The sections of a companion's records but the vectors.
struct RecordSections {
  std::size_t count = 0;
  const format::SectionEntry* id_lengths = nullptr;
  const format::SectionEntry* id_bytes = nullptr;
  const format::SectionEntry* metadata_ends = nullptr;
  const format::SectionEntry* metadata_bytes = nullptr;
  const format::SectionEntry* timestamp_flags = nullptr;   // nullptr when no record has a timestamp
  const format::SectionEntry* timestamp_values = nullptr;  // likewise
  const format::SectionEntry* vector_lengths = nullptr;
};

// What build_list() made of the sections.
enum class ListOutcome {
  kBuilt,
  kDamaged,              // a block's checksum is wrong, or the sections could not be mapped
  kLengthsDisagree,      // the lengths do not add up to the sections' sizes
  kColumnsInconsistent,  // ids not in ascending order, a metadata value that does not read back
};

// Builds every part of `list` but its vectors from `sections` of `file`:
// maps them and checks their blocks, then fills the columns (in parallel
// with `parallel_for`) and the id index. `list` is complete only when
// kBuilt is returned.
ListOutcome build_list(const Sections& file, const RecordSections& sections, RecordList& list,
                       const ParallelFor& parallel_for) {
  const std::size_t count = sections.count;
  const bool timestamps = sections.timestamp_values != nullptr;
  std::vector<const format::SectionEntry*> small = {sections.id_lengths, sections.id_bytes, sections.metadata_ends,
                                                    sections.metadata_bytes, sections.vector_lengths};
  if (timestamps) small.insert(small.end(), {sections.timestamp_flags, sections.timestamp_values});
  std::uint64_t from = UINT64_MAX;
  std::uint64_t to = 0;
  for (const format::SectionEntry* entry : small) {
    from = std::min(from, entry->offset);
    to = std::max(to, entry->offset + entry->bytes);
  }
  MappedSections mapped;
  if (!mapped.map(file, from, to, small, parallel_for)) return ListOutcome::kDamaged;
  const auto id_length = mapped.values<std::uint32_t>(*sections.id_lengths);
  const auto vector_length = mapped.values<std::uint32_t>(*sections.vector_lengths);
  const auto ends = mapped.values<std::uint64_t>(*sections.metadata_ends);
  const std::string_view all_ids = mapped.text(*sections.id_bytes);
  const std::string_view all_metadata = mapped.text(*sections.metadata_bytes);

  // Where each id begins, and that the lengths add up.
  Column<std::uint64_t> id_starts;
  resize_populated(id_starts, count + 1);
  std::uint64_t floats = 0;
  for (std::size_t i = 0; i < count; ++i) {
    id_starts[i + 1] = id_starts[i] + id_length[i];
    floats += vector_length[i];
  }
  if (id_starts[count] != all_ids.size() || floats != file.header.float_count ||
      (count > 0 && ends[count - 1] != all_metadata.size()) || (count == 0 && !all_metadata.empty())) {
    return ListOutcome::kLengthsDisagree;
  }

  Column<std::string> ids;
  resize_populated(ids, count);
  Column<std::optional<JsonValue>> metadata;
  resize_populated(metadata, count);
  Column<std::optional<std::uint64_t>> stamps;
  if (timestamps) resize_populated(stamps, count);
  const auto flags =
      timestamps ? mapped.values<std::uint8_t>(*sections.timestamp_flags) : std::span<const std::uint8_t>();
  const auto stamp_values =
      timestamps ? mapped.values<std::uint64_t>(*sections.timestamp_values) : std::span<const std::uint64_t>();
  std::atomic<bool> consistent = true;
  parallel_for((count + kColumnChunk - 1) / kColumnChunk, [&](std::size_t begin, std::size_t end) {
    for (std::size_t chunk = begin; chunk < end && consistent; ++chunk) {
      const std::size_t last = std::min(count, (chunk + 1) * kColumnChunk);
      for (std::size_t i = chunk * kColumnChunk; i < last; ++i) {
        const std::string_view id = all_ids.substr(id_starts[i], id_starts[i + 1] - id_starts[i]);
        // Strictly ascending ids: the order an open gives, and no id twice.
        const std::uint64_t from_metadata = i == 0 ? 0 : ends[i - 1];
        if ((i > 0 && !(all_ids.substr(id_starts[i - 1], id_starts[i] - id_starts[i - 1]) < id)) ||
            ends[i] < from_metadata || ends[i] > all_metadata.size() || (timestamps && flags[i] > 1)) {
          consistent = false;
          break;
        }
        ids[i] = id;
        if (ends[i] > from_metadata) {
          metadata[i] = read_binary_value(all_metadata.substr(from_metadata, ends[i] - from_metadata),
                                          kMaxMetadataNesting);
          if (!metadata[i]) {
            consistent = false;
            break;
          }
        }
        if (timestamps && flags[i] == 1) stamps[i] = stamp_values[i];
      }
    }
  });
  if (!consistent) return ListOutcome::kColumnsInconsistent;
  RecordListInternals::adopt(list, std::move(ids), std::move(metadata), vector_length, std::move(stamps));
  return ListOutcome::kBuilt;
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
      if (staged_at_ < staged_.size()) {
        const std::size_t taken = std::min(into.size(), staged_.size() - staged_at_);
        std::memcpy(into.data(), staged_.data() + staged_at_, taken);
        staged_at_ += taken;
        into = into.subspan(taken);
        continue;
      }
      // Whole blocks wanted: read and check them where they go, without the
      // copy through the staging buffer, several at once.
      const std::uint64_t at = next_block_ * format::kBlockBytes;
      const std::uint64_t left = at < entry_.bytes ? entry_.bytes - at : 0;
      const std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(format::kBlockBytes, left));
      if (block > 0 && into.size() >= block) {
        const std::size_t whole = into.size() >= left ? block_count(left) : into.size() / format::kBlockBytes;
        const std::size_t bytes = static_cast<std::size_t>(std::min<std::uint64_t>(left, whole * format::kBlockBytes));
        if (!read_block_run(*file_, entry_, into.data(), next_block_, whole)) {
          failed_ = true;
          return false;
        }
        next_block_ += whole;
        into = into.subspan(bytes);
        continue;
      }
      if (!stage_next()) {
        failed_ = true;
        return false;
      }
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
  file->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
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

std::expected<void, SnapshotRefusal> verify_snapshot(const Sections& file) {
  Bytes block(format::kBlockBytes);
  for (std::uint32_t i = 0; i < file.header.section_count; ++i) {
    const format::SectionEntry& entry = file.header.sections[i];
    if (entry.kind == static_cast<std::uint32_t>(format::Section::kChecksums)) continue;
    for (std::size_t b = 0; b < block_count(entry.bytes); ++b) {
      const std::uint64_t at = b * format::kBlockBytes;
      const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(format::kBlockBytes, entry.bytes - at));
      if (!read_fully(file.fd, block.data(), length, entry.offset + at) ||
          checksum64({block.data(), length}) != file.checksums[entry.first_block + b]) {
        return refuse(messages::kCompanionDamaged);
      }
    }
  }
  auto records = read_snapshot_records(file, run_serially);
  if (!records) return std::unexpected(std::move(records.error()));
  return {};
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
  const auto find = [&](format::Section kind) { return file.find(static_cast<std::uint32_t>(kind)); };
  const format::SectionEntry* id_lengths = find(format::Section::kIdLengths);
  const format::SectionEntry* id_bytes = find(format::Section::kIdBytes);
  const format::SectionEntry* metadata_ends = find(format::Section::kMetadataEnds);
  const format::SectionEntry* metadata_bytes = find(format::Section::kMetadataBytes);
  const format::SectionEntry* timestamp_flags = find(format::Section::kTimestampFlags);
  const format::SectionEntry* timestamp_values = find(format::Section::kTimestamps);
  const format::SectionEntry* vector_lengths = find(format::Section::kVectorLengths);
  const format::SectionEntry* vectors = find(format::Section::kVectors);
  const bool timestamps = timestamp_values != nullptr;
  if (id_lengths == nullptr || id_bytes == nullptr || metadata_ends == nullptr || metadata_bytes == nullptr ||
      vector_lengths == nullptr || vectors == nullptr || (timestamp_flags == nullptr) != !timestamps ||
      id_lengths->bytes != count * sizeof(std::uint32_t) || metadata_ends->bytes != count * sizeof(std::uint64_t) ||
      vector_lengths->bytes != count * sizeof(std::uint32_t) || vectors->bytes != header.float_count * sizeof(float) ||
      (timestamps && (timestamp_flags->bytes != count || timestamp_values->bytes != count * sizeof(std::uint64_t)))) {
    return refuse(messages::kCompanionInconsistent);
  }
  const RecordSections sections{count,           id_lengths,     id_bytes,         metadata_ends, metadata_bytes,
                                timestamp_flags, timestamp_values, vector_lengths};

  // The vectors go straight into the arena, each block checked as it
  // lands, the workers faulting its pages in as they read (mapping the file
  // and copying from the mapping was slower: a 4 KiB page of a file mapping
  // costs as much to map as to read). One task beside them reads the other
  // sections and builds the rest of the list, so that its single-threaded
  // steps (mapping the sections, sizing the columns, the id index) overlap
  // the reading instead of following it.
  FloatArena arena;
  float* into = arena.grow_unpopulated(static_cast<std::size_t>(header.float_count));
  RecordList list;
  ListOutcome outcome = ListOutcome::kBuilt;
  std::atomic<bool> vectors_intact = true;
  parallel_for(1 + block_count(vectors->bytes), [&](std::size_t begin, std::size_t end) {
    for (std::size_t task = begin; task < end; ++task) {
      if (task == 0) {
        outcome = build_list(file, sections, list, parallel_for);
      } else if (vectors_intact && !read_blocks(file, *vectors,
                                                reinterpret_cast<std::byte*>(into) + (task - 1) * format::kBlockBytes,
                                                task - 1, 1)) {
        vectors_intact = false;
      }
    }
  });
  // The reasons in the order the sections are checked: the sections beside
  // the vectors, their lengths, the vectors, the columns.
  if (outcome == ListOutcome::kDamaged) return refuse(messages::kCompanionDamaged);
  if (outcome == ListOutcome::kLengthsDisagree) return refuse(messages::kCompanionInconsistent);
  if (!vectors_intact) return refuse(messages::kCompanionDamaged);
  if (outcome == ListOutcome::kColumnsInconsistent) return refuse(messages::kCompanionInconsistent);
  // The lengths were checked to add up to the header's float count, which
  // the vectors section holds.
  RecordListInternals::adopt_floats(list, std::move(arena));
  return list;
}

}  // namespace quorvel
