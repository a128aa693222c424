#include "quorvel/storage/storage_error.h"

#include "messages.h"

namespace quorvel {
namespace {

namespace messages = storage::messages;

}  // namespace

std::string StorageError::message() const {
  std::string_view prefix;
  switch (kind) {
    case Kind::Serialization: prefix = messages::kSerializationPrefix; break;
    case Kind::Database: prefix = messages::kDatabasePrefix; break;
    case Kind::Transaction: prefix = messages::kTransactionPrefix; break;
    case Kind::Table: prefix = messages::kTablePrefix; break;
    case Kind::Commit: prefix = messages::kCommitPrefix; break;
    case Kind::Storage: prefix = messages::kStoragePrefix; break;
  }
  return std::string(prefix) + detail;
}

}  // namespace quorvel
