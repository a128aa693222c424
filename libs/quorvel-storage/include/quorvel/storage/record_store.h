#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel/storage/parallel_for.h"
#include "quorvel/storage/record.h"
#include "quorvel/storage/record_list.h"
#include "quorvel/storage/snapshot.h"
#include "quorvel/storage/storage_error.h"

namespace quorvel {

class Database;   // The SQLite connection, its lock and its prepared statements.
class Companion;  // The companion file beside the database (see snapshot.h).

// Told how far a long job has got, `done` of `total` steps, on the thread
// that runs the job: for a progress display. It must not call back into
// the object that runs the job.
using ProgressReport = std::function<void(std::size_t done, std::size_t total)>;

// The owner's work that reads the record list while insert() commits a
// change, so that it overlaps the wait for the disk. `start` runs once the
// list has room for the change, just before the transaction begins;
// `finish` runs once the transaction has ended, committed or not, before the
// list changes, and must return only when the work no longer reads the
// list. Either may be empty.
struct CommitOverlap {
  std::function<void()> start;
  std::function<void()> finish;
};

// The records of one database file, kept twice: durably in the file's table
// "records" (id -> the record's JSON form) and in memory in the record list,
// which holds one entry per id, loaded in ascending byte order of the keys
// and followed by records inserted since. A removal frees the entry's slot
// in the list; the owner closes free slots with compact() (see RecordList).
//
// Every change is committed to the file (one transaction, fully synced)
// before the record list changes, so a failed change leaves both as they
// were. While the store lives it holds an exclusive lock on the file that no
// other close of the file in the process can drop; a second store on the
// same file, in this process or another, fails to open.
//
// Beside the file the store keeps its companion (see snapshot.h): an open
// loads the records from it when it reflects the table as it is, and
// every committed change is appended to it. The companion never makes an
// operation fail; at worst it is stale, and the next open reads the rows.
//
// Only the process that opened the store writes: in a forked child the
// record list can be read, every change fails, and dropping the store
// leaves the parent's files alone. A change also fails, before anything is
// written, once the path no longer names the file (or its write-ahead log)
// that was opened: deleted, moved or replaced.
//
// Not thread-safe: insert and remove need exclusive access; records() and
// find() may run concurrently with each other.
class RecordStore {
 public:
  // Opens or creates the database file at `path` (an empty file becomes a
  // new database; every path names a file, never an in-memory database),
  // creates the table "records" when missing and loads every stored record:
  // from the companion when it is current, otherwise by parsing the stored
  // values with `parallel_for` (which insert_all() and the companion's
  // reads and writes use too).
  // Fails with Database (cannot open, create, lock or write the file or its
  // directory, or not a database), Transaction, Table (cannot create or read
  // the table, it has other columns, or the file holds another application's
  // data and no table "records"; such a file is left byte for byte as it
  // was), Commit, Storage (a row cannot be read) or Serialization (a stored
  // row does not read back: its value is not a record's JSON form, or holds
  // an id other than the row's key). Every error's detail names `path`; a
  // Serialization error also names the row's key and the commands that list
  // the damaged rows and copy the others into a new file. A failure leaves
  // no lock behind.
  [[nodiscard]] static std::expected<RecordStore, StorageError> open(
      const std::string& path, const ParallelFor& parallel_for = run_serially);

  // Writes a new database file at `path`, which must not exist, holding
  // `records` (of records with one id, the last), with its companion beside
  // it: the bulk way into a new database. The rows are written in one
  // transaction without a journal (each byte once), the file is synced,
  // and the companion gets the owner's sections that annex_of(list) writes
  // for the list of the records (annex_of may return null). Nothing else
  // may use the file meanwhile: write it under a name of its own and move
  // it into place when this returns. Fails with Serialization at the first
  // record without a JSON form that reads back (its index in `records` goes
  // to `*refused` when given), or with Database, Table, Commit or Storage;
  // the file and its companion may then be left partly written, for the
  // caller to remove. `progress`, when given, is told the records written
  // so far, every few hundred.
  [[nodiscard]] static std::expected<void, StorageError> write_new(
      const std::string& path, std::vector<Record> records, const ParallelFor& parallel_for,
      const std::function<std::unique_ptr<SnapshotAnnex>(const RecordList&)>& annex_of,
      std::size_t* refused = nullptr, const ProgressReport& progress = {});

  // write_new() for records already in a list, as a new file holds them:
  // without free slots, in strictly ascending byte order of their ids
  // (each id once; see ids_strictly_ascending and kept_in_id_order in
  // id_order.h). The rows and the companion are written from the list
  // itself, which is also what annex_of() is given. Fails with Storage,
  // before the file is created, for a list in any other order; otherwise
  // as the form above, a refused record's position in the list going to
  // `*refused`.
  [[nodiscard]] static std::expected<void, StorageError> write_new(
      const std::string& path, const RecordList& records, const ParallelFor& parallel_for,
      const std::function<std::unique_ptr<SnapshotAnnex>(const RecordList&)>& annex_of,
      std::size_t* refused = nullptr, const ProgressReport& progress = {});

  RecordStore(RecordStore&&) noexcept;
  RecordStore& operator=(RecordStore&&) noexcept;
  ~RecordStore();

  // Stores `record` under its id, replacing a record stored under that id in
  // the file and in the record list (at its position there); a new id is
  // appended to the list. Fails with Serialization, before anything is
  // written, when the record has no JSON form that reads back (a NaN or
  // infinite vector element, metadata nested deeper than
  // kMaxMetadataNesting, text that is not valid UTF-8); with Transaction in
  // a forked child or when the file was replaced (see above); with
  // Transaction, Storage or Commit when SQLite fails. On failure nothing
  // changes.
  //
  // With a `note`, the owner's words about the change go into the
  // companion with it, and come back when an open replays it (see
  // SnapshotLoad); so do insert_all()'s and remove()'s. `overlap` runs
  // beside the commit as CommitOverlap says (not at all when the record is
  // refused before anything is written).
  [[nodiscard]] std::expected<void, StorageError> insert(Record record, std::string_view note = {},
                                                         const CommitOverlap& overlap = {});

  // Stores every record of `records` in one write transaction, each under
  // its id, replacing what is stored under that id; the record list then
  // changes as if each had been inserted in turn. The bulk way in: one
  // commit, one sync. Fails with Serialization, before anything is written,
  // at the first record that has no JSON form that reads back (its index
  // goes to `*refused` when given), or as insert() does; on failure nothing
  // changes. `progress`, when given, is told the records written so far,
  // every few hundred, before the commit.
  [[nodiscard]] std::expected<void, StorageError> insert_all(std::vector<Record> records,
                                                             std::size_t* refused = nullptr,
                                                             std::string_view note = {},
                                                             const ProgressReport& progress = {});

  // Removes the record stored under `id`. Returns whether the file held one;
  // only then does the record list change: the entry's slot is freed, and
  // no other entry moves. A write transaction is committed either way.
  // Fails as insert() does (but for Serialization); then nothing changes.
  [[nodiscard]] std::expected<bool, StorageError> remove(std::string_view id, std::string_view note = {});

  // Appends the owner's `note` to the companion alone, for a change of the
  // owner's that changes no record (an index attached). Writes nothing to
  // the database; never fails.
  void add_note(std::string_view note);

  // What the open took from the companion for the owner (its sections, the
  // changes replayed), once; nothing when the rows were read instead.
  std::optional<SnapshotLoad> take_snapshot_load();

  // Whether the companion should be written afresh (write_snapshot): it was
  // not current at open, or the changes appended to it have grown past a
  // share of it.
  bool snapshot_due() const;

  // Writes the companion afresh from the record list, with the owner's
  // sections of `annex` (none when null), unless this process can no longer
  // write the file (a forked child, a file replaced meanwhile). A failure
  // (a full disk) leaves it stale, which costs the next open time only.
  void write_snapshot(const SnapshotAnnex* annex);

  // Writes the companion afresh when it is due or `now`, as write_snapshot
  // does, and ends its upkeep: dropping the store then writes nothing. The
  // owner calls it before it drops the store, to give its sections;
  // otherwise the destructor does, with none.
  void close_snapshot(const SnapshotAnnex* annex, bool now = false);

  // Closes the record list's free slots (RecordList::compact): positions
  // change, the order stays. Call it when records().compaction_due().
  void compact() noexcept { records_.compact(); }

  // The record list, first to last. Valid until the next insert, remove or
  // compact.
  const RecordList& records() const { return records_; }

 private:
  RecordStore(std::unique_ptr<Database> database, RecordList records, ParallelFor parallel_for,
              std::unique_ptr<Companion> companion);

  std::unique_ptr<Database> database_;
  RecordList records_;
  ParallelFor parallel_for_;  // the one given to open(), for insert_all() and the companion
  std::unique_ptr<Companion> companion_;  // null once closed
};

}  // namespace quorvel
