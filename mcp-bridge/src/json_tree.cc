#include "json_tree.h"

#include <algorithm>
#include <cstring>

namespace bridge {
namespace {

JsonValue make(JsonType type, size_t size = 0) {
  JsonValue value;
  value.head = static_cast<uint64_t>(type) | (static_cast<uint64_t>(size) << 8);
  return value;
}

bool key_less(const JsonMember& a, const JsonMember& b) {
  return a.key < b.key;
}

JsonMember* find(const JsonValue& object, std::string_view name) {
  JsonMember* const end = object.members + object.size();
  JsonMember* found = std::lower_bound(object.members, end, JsonMember{name, {}}, key_less);
  return found != end && found->key == name ? found : nullptr;
}

}  // namespace

JsonValue json_null() {
  return make(JsonType::kNull);
}

JsonValue json_boolean(bool value) {
  JsonValue made = make(JsonType::kBoolean);
  made.boolean = value;
  return made;
}

JsonValue json_unsigned(uint64_t value) {
  JsonValue made = make(JsonType::kUnsigned);
  made.unsigned_number = value;
  return made;
}

JsonValue json_signed(int64_t value) {
  JsonValue made = make(JsonType::kSigned);
  made.signed_number = value;
  return made;
}

JsonValue json_double(double value) {
  JsonValue made = make(JsonType::kDouble);
  made.number = value;
  return made;
}

JsonValue json_string(std::string_view text) {
  JsonValue made = make(JsonType::kString, text.size());
  made.chars = text.data();
  return made;
}

JsonValue json_object(JsonMember* members, size_t count) {
  JsonValue made = make(JsonType::kObject, count);
  made.members = count == 0 ? nullptr : members;
  return made;
}

JsonValue json_array(const JsonSegment* segments, size_t count) {
  JsonValue made = make(JsonType::kArray, count);
  made.segments = count == 0 ? nullptr : segments;
  return made;
}

const JsonValue* member(const JsonValue* value, std::string_view name) {
  if (value == nullptr || !value->is_object()) return nullptr;
  const JsonMember* found = find(*value, name);
  return found == nullptr ? nullptr : &found->value;
}

JsonValue copy_value(Arena& arena, const JsonValue& value) {
  switch (value.type()) {
    case JsonType::kString:
      return json_string(arena.copy(value.string()));
    case JsonType::kArray: {
      if (value.size() == 0) return value;
      auto* values = arena.allocate_array<JsonValue>(value.size());
      size_t i = 0;
      for_each_element(value,
                       [&](const JsonValue& element) { values[i++] = copy_value(arena, element); });
      auto* segment = arena.allocate_array<JsonSegment>(1);
      *segment = JsonSegment{nullptr, value.size(), values};
      return json_array(segment, value.size());
    }
    case JsonType::kObject: {
      auto* members = arena.allocate_array<JsonMember>(value.size());
      for (size_t i = 0; i < value.size(); ++i) {
        members[i] = {arena.copy(value.members[i].key), copy_value(arena, value.members[i].value)};
      }
      return json_object(members, value.size());
    }
    default:
      return value;
  }
}

JsonValue make_object(Arena& arena, std::initializer_list<JsonMember> members) {
  auto* sorted = arena.allocate_array<JsonMember>(members.size());
  std::copy(members.begin(), members.end(), sorted);
  std::sort(sorted, sorted + members.size(), key_less);
  return json_object(sorted, members.size());
}

void set_id(Json& document, const JsonValue& id) {
  JsonValue& root = document.root;
  const JsonValue copy = copy_value(document.arena, id);
  if (JsonMember* found = find(root, "id")) {
    found->value = copy;
    return;
  }
  // The members are copied once into room for one more, "id" in its place.
  const size_t count = root.size();
  auto* members = document.arena.allocate_array<JsonMember>(count + 1);
  const JsonMember added{"id", copy};
  JsonMember* const old_end = root.members + count;
  JsonMember* const at = std::lower_bound(root.members, old_end, added, key_less);
  JsonMember* out = std::copy(root.members, at, members);
  *out++ = added;
  std::copy(at, old_end, out);
  root = json_object(members, count + 1);
}

}  // namespace bridge
