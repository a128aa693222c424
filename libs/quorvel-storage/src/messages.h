#pragma once

#include <string_view>

// Every message text that the storage library owns, in one place.
namespace quorvel::storage::messages {

// Descriptions of a stored record of the wrong shape.
inline constexpr std::string_view kExpectedRecord = "expected struct Record";
inline constexpr std::string_view kExpectedRecordOf4 = "expected struct Record with 4 elements";
inline constexpr std::string_view kMissingField = "missing field";       // + " `name`"
inline constexpr std::string_view kDuplicateField = "duplicate field";   // + " `name`"
inline constexpr std::string_view kExpectedString = "invalid type, expected a string";
inline constexpr std::string_view kExpectedSequence = "invalid type, expected a sequence";
inline constexpr std::string_view kExpectedF32 = "invalid type, expected f32";
inline constexpr std::string_view kExpectedTimestamp =
    "invalid value, expected null or an integer from 0 to 18446744073709551615";
// "the id \"b\" differs from the key it is stored under": a row whose
// record would load under another id than its key.
inline constexpr std::string_view kTheId = "the id ";
inline constexpr std::string_view kDiffersFromKey = " differs from the key it is stored under";

// Why a record has no JSON form that reads back (refused before writing).
inline constexpr std::string_view kIdNotUtf8 = "id is not valid UTF-8";
inline constexpr std::string_view kMetadataNotUtf8 = "metadata holds text that is not valid UTF-8";
// "vector element <i> is NaN, which has no JSON form", or "... is infinite, ...".
inline constexpr std::string_view kVectorElement = "vector element ";
inline constexpr std::string_view kIsNaN = " is NaN";
inline constexpr std::string_view kIsInfinite = " is infinite";
inline constexpr std::string_view kHasNoJsonForm = ", which has no JSON form";
// "metadata["scores"][2] is NaN, which has no JSON form": the number's place
// in the metadata, each key as a JSON string, each index in brackets.
inline constexpr std::string_view kMetadata = "metadata";
// "metadata is nested deeper than <levels> levels".
inline constexpr std::string_view kNestedDeeperThan = "metadata is nested deeper than ";
inline constexpr std::string_view kLevels = " levels";

// Store errors that carry no message of SQLite's.
inline constexpr std::string_view kPathHoldsNul = "the path holds a NUL character";
inline constexpr std::string_view kOutOfMemory = "out of memory";
inline constexpr std::string_view kLocked = "database is locked";
inline constexpr std::string_view kPathTooLong =
    "the path is too long: SQLite opens files whose absolute path has at most 504 bytes";
inline constexpr std::string_view kNotARegularFile = "unable to open database file: not a regular file";
// Each of these is followed by the system's description of the cause
// ("Permission denied", "Read-only file system", ...).
inline constexpr std::string_view kUnableToOpen = "unable to open database file: ";
inline constexpr std::string_view kFileNotWritable = "the file cannot be written: ";
inline constexpr std::string_view kFileNotCreatable = "the file cannot be created: ";
inline constexpr std::string_view kCannotLock = "the file cannot be locked: ";
inline constexpr std::string_view kDirectoryNotWritable =
    "the directory of the file cannot be written, and the write-ahead log is kept there: ";
inline constexpr std::string_view kNoWriteAheadLog = "the file cannot be switched to write-ahead logging";
inline constexpr std::string_view kReplacedWhileOpening = "the file was replaced while it was being opened";
inline constexpr std::string_view kNotInIdOrder =
    "the records of a new file must come in ascending byte order of their ids, each id once";
// Writes refused before anything is written.
inline constexpr std::string_view kOpenedByAnotherProcess =
    "the database was opened by another process; a forked child can read it but not change it";
inline constexpr std::string_view kFileReplaced =
    "the path no longer names the file that was opened (it was deleted, moved or replaced); nothing was "
    "written";
inline constexpr std::string_view kLogReplaced =
    "the write-ahead log beside the file was deleted or replaced; nothing was written";
// A file of another application: "the file holds no table records but other
// data (table a, view b): it belongs to another application".
inline constexpr std::string_view kForeignData = "the file holds no table records but other data (";
inline constexpr std::string_view kForeignDataEnd = "): it belongs to another application";
inline constexpr std::string_view kNoRecordsTable = "the file holds no table records";
inline constexpr std::string_view kOpenedToRead = "the database was opened to be read only";
// "records is a view, not a table".
inline constexpr std::string_view kRecordsIsA = "records is a ";
inline constexpr std::string_view kNotATable = ", not a table";
// "table records has columns (<found>), expected (<expected>)".
inline constexpr std::string_view kTable = "table ";
inline constexpr std::string_view kHasColumns = " has columns (";
inline constexpr std::string_view kTableExpected = "), expected (";
inline constexpr std::string_view kExpectedColumns = "id TEXT NOT NULL PRIMARY KEY, value BLOB NOT NULL";
inline constexpr std::string_view kExpectedVersionColumns =
    "database_id BLOB NOT NULL, counter INTEGER NOT NULL, stamp BLOB NOT NULL";

// Errors of opening a store name the file: "<detail> (file <path>)".
inline constexpr std::string_view kOfFile = " (file ";
inline constexpr std::string_view kOfFileEnd = ")";
// A stored row that does not read back names the row, the file and the
// commands that deal with it: "<reader's text> (record "<key>" in <path>;
// `quorvel check <path>` lists the damaged rows, `quorvel salvage <path> NEW`
// copies the rest into a new file NEW)", the path in the commands quoted for
// a shell where it needs to be.
inline constexpr std::string_view kDamagedRecord = " (record ";
inline constexpr std::string_view kDamagedRecordIn = " in ";
inline constexpr std::string_view kCheckCommand = "; `quorvel check ";
inline constexpr std::string_view kSalvageCommand = "` lists the damaged rows, `quorvel salvage ";
inline constexpr std::string_view kSalvageCommandEnd = " NEW` copies the rest into a new file NEW)";

// Why the companion file beside a database cannot be used (shown by the
// tools; an open then reads the rows and writes the companion afresh).
inline constexpr std::string_view kCompanionMissing = "there is none";
inline constexpr std::string_view kCompanionUnreadable = "it cannot be read: ";  // + the system's words
inline constexpr std::string_view kCompanionNotOne = "it is not a companion file";
inline constexpr std::string_view kCompanionFormat = "it is of another format version";
inline constexpr std::string_view kCompanionHeaderDamaged = "its header is damaged";
inline constexpr std::string_view kCompanionOtherDatabase = "it belongs to another database";
inline constexpr std::string_view kCompanionOtherSchema = "the database's schema changed since it was written";
inline constexpr std::string_view kCompanionOtherVersion =
    "the records changed since it was written (by another program, or a change it missed)";
inline constexpr std::string_view kCompanionNoVersion = "the database keeps no version of its records";
inline constexpr std::string_view kCompanionDamaged = "a checksum does not match: it is damaged";
inline constexpr std::string_view kCompanionInconsistent = "its sections do not make a record list";

// Prefixes of StorageError display texts.
inline constexpr std::string_view kSerializationPrefix = "Serialization error: ";
inline constexpr std::string_view kDatabasePrefix = "Database error: ";
inline constexpr std::string_view kTransactionPrefix = "Transaction error: ";
inline constexpr std::string_view kTablePrefix = "Table error: ";
inline constexpr std::string_view kCommitPrefix = "Commit error: ";
inline constexpr std::string_view kStoragePrefix = "Storage error: ";

}  // namespace quorvel::storage::messages
