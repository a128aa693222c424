#include "quorvel/storage/storage_error.h"

#include "quorvel/storage/messages.h"

namespace quorvel {

std::string StorageError::message() const {
  std::string_view prefix;
  switch (kind) {
    case Kind::kSerialization: prefix = messages::kSerializationPrefix; break;
    case Kind::kDatabase: prefix = messages::kDatabasePrefix; break;
    case Kind::kTransaction: prefix = messages::kTransactionPrefix; break;
    case Kind::kTable: prefix = messages::kTablePrefix; break;
    case Kind::kCommit: prefix = messages::kCommitPrefix; break;
    case Kind::kStorage: prefix = messages::kStoragePrefix; break;
  }
  return std::string(prefix) + detail;
}

}  // namespace quorvel
