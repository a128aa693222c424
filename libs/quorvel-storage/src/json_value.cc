#include "quorvel/storage/json_value.h"

#include <algorithm>

namespace quorvel {

JsonValue::JsonValue(Signed s) {
  if (s >= 0) {
    data_ = static_cast<Unsigned>(s);
  } else {
    data_ = s;
  }
}

JsonValue JsonValue::make_object(std::vector<Member> members) {
  std::stable_sort(members.begin(), members.end(),
                   [](const Member& a, const Member& b) { return a.key < b.key; });
  // Among equal keys the stable sort kept input order; keep the last one.
  Object object;
  object.reserve(members.size());
  for (auto& member : members) {
    if (!object.empty() && object.back().key == member.key) {
      object.back().value = std::move(member.value);
    } else {
      object.push_back(std::move(member));
    }
  }
  JsonValue result;
  result.data_ = std::move(object);
  return result;
}

bool operator==(const JsonValue& a, const JsonValue& b) { return a.data_ == b.data_; }

}  // namespace quorvel
