#pragma once

#include <string>

namespace quorvel::cli {

// A new database file that appears under its name only once it is
// complete: it is built under a temporary name in the same directory
// ("<name>.partial-<process id>"), synced, and renamed into place, never
// over a file that appeared there meanwhile. A run that is killed leaves
// nothing under the final name; the temporary file it leaves is removed by
// the next run into the same name (remove_leftovers).
class StagedDatabase {
 public:
  explicit StagedDatabase(std::string path);
  // Removes the temporary file and its logs unless finish() moved the file
  // into place.
  ~StagedDatabase();
  StagedDatabase(const StagedDatabase&) = delete;
  StagedDatabase& operator=(const StagedDatabase&) = delete;

  // Where the database is built: open it there, and drop it before finish().
  const std::string& temporary_path() const { return temporary_; }

  // Removes the temporary files (and their logs) that runs into the same
  // name left behind when they were killed: those whose process is gone.
  void remove_leftovers() const;

  // Syncs the temporary file, renames it (and its companion, when it has
  // one) to the final name and syncs the directory. The database on it must have been dropped, so that its log
  // is folded into the file. False with `error` set (the system's words)
  // when the final name is taken or a step fails; unless the file was
  // moved into place, the temporary file then goes with this object.
  [[nodiscard]] bool finish(std::string& error);

  // finish(), but the file takes the place of the file at the final name,
  // which must exist (an empty database, held open by the caller so that
  // nothing else writes it meanwhile), with its permission bits; the
  // companion beside it is replaced first, so that a crash leaves the old
  // database (whose companion then no longer matches it) or the new one.
  [[nodiscard]] bool finish_replacing(std::string& error);

 private:
  std::string path_;
  std::string temporary_;
  bool finished_ = false;
};

}  // namespace quorvel::cli
