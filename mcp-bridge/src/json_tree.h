// The JSON document tree: values in one arena per document, objects as
// arrays of members sorted by key, strings as views into the document's own
// bytes wherever they hold no escape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>

#include "json_arena.h"

namespace bridge {

enum class JsonType : uint8_t {
  kNull,
  kBoolean,
  kUnsigned,
  kSigned,
  kDouble,
  kString,
  kArray,
  kObject
};

struct JsonMember;
struct JsonSegment;

// One value: 16 bytes, a type and a size in one word and the payload in the
// other. What its pointers point to belongs to the document that holds it
// (or is static).
struct JsonValue {
  JsonType type() const { return static_cast<JsonType>(head & 0xFF); }
  /// A string's bytes, an array's elements, an object's members; else 0.
  size_t size() const { return static_cast<size_t>(head >> 8); }

  bool is_null() const { return type() == JsonType::kNull; }
  bool is_boolean() const { return type() == JsonType::kBoolean; }
  bool is_unsigned() const { return type() == JsonType::kUnsigned; }
  bool is_string() const { return type() == JsonType::kString; }
  bool is_array() const { return type() == JsonType::kArray; }
  bool is_object() const { return type() == JsonType::kObject; }
  // REQUIRES: is_string().
  std::string_view string() const { return {chars, size()}; }

  uint64_t head = 0;
  union {
    /// Integers within 64 bits: unsigned unless negative.
    uint64_t unsigned_number = 0;
    int64_t signed_number;
    /// Every other number.
    double number;
    bool boolean;
    const char* chars;
    /// An array's elements, in runs; nullptr when it is empty.
    const JsonSegment* segments;
    /// An object's members, sorted bytewise by key, each key once.
    JsonMember* members;
  };
};

struct JsonMember {
  std::string_view key;
  JsonValue value;
};

// A run of an array's elements. Arrays are read in runs of bounded length,
// so that reading a long array never holds its elements twice.
struct JsonSegment {
  const JsonSegment* next;
  size_t count;
  const JsonValue* values;
};

JsonValue json_null();
JsonValue json_boolean(bool value);
JsonValue json_unsigned(uint64_t value);
JsonValue json_signed(int64_t value);
JsonValue json_double(double value);
// A view of `text`, which must outlive the value.
JsonValue json_string(std::string_view text);
// REQUIRES: `members` sorted by key, each key once.
JsonValue json_object(JsonMember* members, size_t count);
JsonValue json_array(const JsonSegment* segments, size_t count);

// Calls `visit` with each element of `array` in order.
template <typename Visit>
void for_each_element(const JsonValue& array, Visit visit) {
  for (const JsonSegment* s = array.segments; s != nullptr; s = s->next) {
    for (size_t i = 0; i < s->count; ++i) visit(s->values[i]);
  }
}

// One JSON document: the tree and everything it points to. Move-only;
// dropping it frees the whole tree at once. A document belongs to one thread
// at a time and may be handed to another whole.
struct Json {
  Json() = default;
  Json(Json&&) = default;
  Json& operator=(Json&&) = default;

  Arena arena;
  /// Bytes the tree's views point into when they were taken over whole
  /// instead of copied into the arena.
  std::unique_ptr<char[]> block;
  JsonValue root;
  /// About the size of the root's wire form: the size of the text it was
  /// read from, or what its maker expects. Sizes the buffer it is written to.
  size_t wire_size = 0;
};

// The member `name` of `value`, found by binary search; nullptr when `value`
// is nullptr, not an object, or lacks the member, so that lookups chain.
const JsonValue* member(const JsonValue* value, std::string_view name);

// A copy of `value` whose strings, arrays and objects all lie in `arena`.
JsonValue copy_value(Arena& arena, const JsonValue& value);

// An object of `members` in `arena`, sorted by key. REQUIRES: no key twice.
JsonValue make_object(Arena& arena, std::initializer_list<JsonMember> members);

// Gives the object `document.root` the member "id" with a copy of `id`,
// replacing the value of one it has or adding it in its place by key.
// REQUIRES: document.root is an object.
void set_id(Json& document, const JsonValue& id);

}  // namespace bridge
