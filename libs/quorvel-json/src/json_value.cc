#include "quorvel/json/json_value.h"

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
  JsonValue result;
  // Text this system wrote has its keys in order already: take it as it is.
  const auto by_key = [](const Member& a, const Member& b) { return a.key < b.key; };
  if (std::adjacent_find(members.begin(), members.end(), [&](const Member& a, const Member& b) {
        return !by_key(a, b);
      }) == members.end()) {
    result.data_ = std::move(members);
    return result;
  }
  std::stable_sort(members.begin(), members.end(), by_key);
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
  result.data_ = std::move(object);
  return result;
}

bool operator==(const JsonValue& a, const JsonValue& b) { return a.data_ == b.data_; }

}  // namespace quorvel
