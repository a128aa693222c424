#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvel {

// The companion file: beside the database file FILE the store keeps
// FILE-snapshot, a binary form of what an open needs (ids, metadata,
// timestamps, the vectors as raw floats) and of what its owner adds (the
// engine's index graph), from which an open loads at the speed of reading
// those bytes. The records table stays the single source of truth: the
// companion is used only when it is proven to reflect the table as it is
// (the same database, the same version of the records, every checksum
// right); otherwise the rows are read and the companion written afresh.
// After every committed change the store appends the change to the
// companion, so that it stays current without being rewritten; deleting it
// is always safe.

// Writes one of the owner's sections into a companion being written.
class SnapshotSectionWriter {
 public:
  virtual ~SnapshotSectionWriter() = default;
  // Appends `bytes` to the section.
  virtual void write(std::span<const std::byte> bytes) = 0;
};

// Reads one of the owner's sections from the companion an open used. Every
// byte handed out has passed its block's checksum.
class SnapshotSectionReader {
 public:
  virtual ~SnapshotSectionReader() = default;
  // The section's length in bytes.
  virtual std::uint64_t size() const = 0;
  // Fills `into` with the section's next bytes. False, from then on, when
  // the section holds fewer, a read fails or a block's checksum is wrong.
  [[nodiscard]] virtual bool read(std::span<std::byte> into) = 0;
};

// What the owner of a store (the engine) keeps in the companion beside the
// records: sections of its own, each a kind (a number below 2^20 of the
// owner's choice) and bytes.
class SnapshotAnnex {
 public:
  virtual ~SnapshotAnnex() = default;
  // The kinds of the sections that write_section() writes, in order.
  virtual std::vector<std::uint32_t> section_kinds() const = 0;
  // Writes the section `kind` for a companion whose records are written in
  // `order`: order[i] is the record-list position of the i-th record
  // written (its position once the companion is loaded).
  virtual void write_section(std::uint32_t kind, std::span<const std::size_t> order,
                             SnapshotSectionWriter& out) const = 0;
};

// A record that a replayed change replaced or removed: where it stood in
// the list as the replay went (before the list was put in id order), and
// the vector it had before the change.
struct PriorRecord {
  std::size_t position = 0;
  std::vector<float> vector;
};

// A change that an open replayed from the companion after loading its
// records, in the order the changes were committed.
struct ReplayedChange {
  std::string note;          // what the owner attached to the change (see RecordStore)
  std::size_t appended = 0;  // records of new ids, appended to the list in order
  std::size_t replaced = 0;  // records that replaced a stored one in place
  std::size_t removed = 0;   // records removed
  // The records stored before the change that it replaced (each once, in
  // the order the change first names them) and those it removed.
  std::vector<PriorRecord> replaced_records;
  std::vector<PriorRecord> removed_records;
};

// What an open that used the companion hands the store's owner: its
// sections, and the changes replayed since they were written.
struct SnapshotLoad {
  // The owner's section of `kind`, or nullptr when the companion has none.
  // Each may be taken once.
  std::unique_ptr<SnapshotSectionReader> section(std::uint32_t kind);

  // Records loaded from the companion's sections, before any replay: they
  // stood at positions 0 to this number - 1, in order.
  std::size_t loaded_records = 0;
  std::vector<ReplayedChange> changes;
  // Where each position of the list as the replay left it (appended records
  // last, removed ones free) stands once the list is in id order: the new
  // position, or kGone for a removed record. Empty when nothing moved.
  std::vector<std::size_t> moved;
  static constexpr std::size_t kGone = static_cast<std::size_t>(-1);

  struct Sections;
  std::shared_ptr<Sections> sections;
};

}  // namespace quorvel
