#include "snapshot_changes.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "checksum.h"
#include "snapshot_bytes.h"
#include "snapshot_format.h"
#include "snapshot_values.h"

namespace quorvel {
namespace {

void put_step(ByteWriter& out, const VersionStep& step) {
  out.put(step.counter);
  out.put_bytes(step.stamp);
}

std::optional<VersionStep> get_step(ByteReader& in) {
  const auto counter = in.get<std::uint64_t>();
  const auto stamp = in.get_bytes();
  if (!counter || !stamp) return std::nullopt;
  return VersionStep{*counter, std::string(*stamp)};
}

std::uint64_t checksum_of(std::string_view bytes) {
  return checksum64(std::as_bytes(std::span(bytes.data(), bytes.size())));
}

std::optional<Record> get_record(ByteReader& in) {
  Record record;
  const auto id = in.get_bytes();
  const auto length = in.get<std::uint32_t>();
  if (!id || !length) return std::nullopt;
  record.id = *id;
  const auto floats = in.get_raw(std::size_t{*length} * sizeof(float));
  if (!floats) return std::nullopt;
  record.vector.resize(*length);
  std::memcpy(record.vector.data(), floats->data(), floats->size());
  for (const float element : record.vector) {
    if (!std::isfinite(element)) return std::nullopt;
  }
  const auto metadata = in.get_bytes();
  if (!metadata) return std::nullopt;
  if (!metadata->empty()) {
    record.metadata = read_binary_value(*metadata, kMaxMetadataNesting);
    if (!record.metadata) return std::nullopt;
  }
  const auto has_timestamp = in.get<std::uint8_t>();
  const auto timestamp = in.get<std::uint64_t>();
  if (!has_timestamp || !timestamp || *has_timestamp > 1) return std::nullopt;
  if (*has_timestamp == 1) record.timestamp = *timestamp;
  return record;
}

std::optional<ChangeEntry> get_entry(std::string_view payload) {
  ByteReader in(payload);
  ChangeEntry entry;
  auto before = get_step(in);
  auto after = get_step(in);
  const auto record_count = in.get<std::uint64_t>();
  if (!before || !after || !record_count || *record_count > in.remaining()) return std::nullopt;
  entry.before = std::move(*before);
  entry.after = std::move(*after);
  entry.records.reserve(*record_count);
  for (std::uint64_t i = 0; i < *record_count; ++i) {
    auto record = get_record(in);
    if (!record) return std::nullopt;
    entry.records.push_back(std::move(*record));
  }
  const auto removed_count = in.get<std::uint64_t>();
  if (!removed_count || *removed_count > in.remaining()) return std::nullopt;
  for (std::uint64_t i = 0; i < *removed_count; ++i) {
    const auto id = in.get_bytes();
    if (!id) return std::nullopt;
    entry.removed.emplace_back(*id);
  }
  const auto note = in.get_bytes();
  if (!note || !in.at_end()) return std::nullopt;
  entry.note = *note;
  return entry;
}

}  // namespace

std::string encode_change(const VersionStep& before, const VersionStep& after, std::span<const Record> records,
                          std::span<const std::string_view> removed, std::string_view note) {
  std::string payload;
  ByteWriter out(payload);
  put_step(out, before);
  put_step(out, after);
  out.put(static_cast<std::uint64_t>(records.size()));
  for (const Record& record : records) {
    out.put_bytes(record.id);
    out.put(static_cast<std::uint32_t>(record.vector.size()));
    out.put_raw(std::as_bytes(std::span(record.vector)));
    // Null metadata is stored as JSON null, which reads back as none.
    std::string metadata;
    if (record.metadata && !record.metadata->is_null()) append_binary_value(metadata, *record.metadata);
    out.put_bytes(metadata);
    out.put(static_cast<std::uint8_t>(record.timestamp.has_value()));
    out.put(record.timestamp.value_or(0));
  }
  out.put(static_cast<std::uint64_t>(removed.size()));
  for (const std::string_view id : removed) out.put_bytes(id);
  out.put_bytes(note);

  std::string entry;
  ByteWriter framed(entry);
  framed.put(snapshot::kEntryMagic);
  framed.put(static_cast<std::uint64_t>(payload.size()));
  entry += payload;
  framed.put(checksum_of(entry));
  return entry;
}

std::vector<ChangeEntry> decode_changes(std::string_view bytes, std::vector<std::uint64_t>& ends) {
  std::vector<ChangeEntry> entries;
  ends.clear();
  std::size_t at = 0;
  while (true) {
    ByteReader in(bytes.substr(at));
    const auto magic = in.get<std::uint32_t>();
    const auto length = in.get<std::uint64_t>();
    if (!magic || !length || *magic != snapshot::kEntryMagic || *length > in.remaining()) break;
    const auto payload = in.get_raw(static_cast<std::size_t>(*length));
    const auto checksum = in.get<std::uint64_t>();
    if (!payload || !checksum) break;
    const std::size_t framed = sizeof(std::uint32_t) + sizeof(std::uint64_t) + payload->size();
    if (checksum_of(bytes.substr(at, framed)) != *checksum) break;
    auto entry = get_entry(*payload);
    if (!entry) break;
    entries.push_back(std::move(*entry));
    at += framed + sizeof(std::uint64_t);
    ends.push_back(at);
  }
  return entries;
}

}  // namespace quorvel
