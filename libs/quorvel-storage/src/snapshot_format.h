#pragma once

// The layout of the companion file that the store keeps beside a database
// file: what an open needs, in binary, proven current against the
// database's version before anything in it is used.
//
//   header     one page: what the file reflects (database_id, the version of
//              the records, SQLite's schema counter), counts, the sections
//              and where the block checksums lie; its own checksum last
//   sections   each on a page boundary: ids, metadata, timestamps, vector
//              lengths, the vectors as raw floats in the record order, the
//              block checksum table, and the owner's sections (the engine's)
//   changes    entries appended after each committed change, each with the
//              versions before and after it and a checksum of its own
//
// Records stand in ascending byte order of their ids, the order an open
// gives. Every number is little-endian. Every section is covered by
// checksums of kBlockBytes blocks (the last one shorter), so that reading a
// block and checking it is one pass over memory and blocks are checked in
// parallel.

#include <cstddef>
#include <cstdint>

namespace quorvel::snapshot {

inline constexpr char kMagic[8] = {'q', 'u', 'o', 'r', 'v', 'e', 'l', 'C'};
// 2: blocks checked by the 64-lane checksum (1: the 4-lane one).
inline constexpr std::uint32_t kFormatVersion = 2;
inline constexpr std::size_t kHeaderBytes = 4096;
inline constexpr std::size_t kPageBytes = 4096;
inline constexpr std::size_t kBlockBytes = 256 * 1024;
// Longest database_id and stamp a companion records; a database whose
// version holds longer ones (set by another program) gets no companion.
inline constexpr std::size_t kLongestVersionBytes = 64;
inline constexpr std::size_t kMostSections = 32;

// The companion's name: the database file's name and this suffix.
inline constexpr const char* kSuffix = "-snapshot";
// Where a new companion is written before it is renamed into place.
inline constexpr const char* kNewSuffix = "-snapshot-new";

enum class Section : std::uint32_t {
  kIdLengths = 1,       // u32 per record
  kIdBytes = 2,         // the ids back to back
  kMetadataEnds = 3,    // u64 per record: where its binary value ends (absent: empty)
  kMetadataBytes = 4,   // the binary values back to back
  kTimestampFlags = 5,  // u8 per record: 1 when it has a timestamp (only when any has)
  kTimestamps = 6,      // u64 per record (only when any has)
  kVectorLengths = 7,   // u32 per record
  kVectors = 8,         // every vector's floats back to back
  kChecksums = 9,       // u64 per block of every other section, in section order
};
// Kinds from here on are the owner's, numbered by it from 0.
inline constexpr std::uint32_t kFirstOwnerSection = 1000;

struct SectionEntry {
  std::uint32_t kind = 0;
  std::uint32_t unused = 0;
  std::uint64_t offset = 0;       // from the start of the file; a multiple of kPageBytes
  std::uint64_t bytes = 0;
  std::uint64_t first_block = 0;  // its first checksum's index in the checksum table
};

struct Header {
  char magic[8];
  std::uint32_t format_version;
  std::uint32_t section_count;
  std::uint64_t record_count;
  std::uint64_t float_count;
  std::uint64_t base_bytes;  // where the change entries begin
  std::uint64_t counter;
  std::uint64_t schema_version;
  std::uint32_t database_id_bytes;
  std::uint32_t stamp_bytes;
  char database_id[kLongestVersionBytes];
  char stamp[kLongestVersionBytes];
  std::uint64_t checksum_table_hash;  // of the checksum section's bytes
  SectionEntry sections[kMostSections];
  std::uint64_t header_checksum;  // of every byte of the header before it
};
static_assert(sizeof(Header) <= kHeaderBytes);

// A change entry: kEntryMagic, the payload's length (u64), the payload, and
// a checksum (u64) of everything before it in the entry.
inline constexpr std::uint32_t kEntryMagic = 0x6c676863;  // "chgl"

}  // namespace quorvel::snapshot
