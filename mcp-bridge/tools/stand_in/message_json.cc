#include "stand_in/message_json.h"

#include "json.h"

namespace stand_in {
namespace {

Json from_tree(const bridge::JsonValue& value) {
  using bridge::JsonType;
  switch (value.type()) {
    case JsonType::kNull:
      return nullptr;
    case JsonType::kBoolean:
      return value.boolean;
    case JsonType::kUnsigned:
      return value.unsigned_number;
    case JsonType::kSigned:
      return value.signed_number;
    case JsonType::kDouble:
      return value.number;
    case JsonType::kString:
      return std::string(value.string());
    case JsonType::kArray: {
      Json array = Json::array();
      bridge::for_each_element(value,
                               [&](const bridge::JsonValue& e) { array.push_back(from_tree(e)); });
      return array;
    }
    case JsonType::kObject: {
      Json object = Json::object();
      for (size_t i = 0; i < value.size(); ++i) {
        object[std::string(value.members[i].key)] = from_tree(value.members[i].value);
      }
      return object;
    }
  }
  return nullptr;
}

// The bridge's tree of `value`, its strings viewing those of `value`.
bridge::JsonValue to_tree(bridge::Arena& arena, const Json& value) {
  switch (value.type()) {
    case Json::value_t::boolean:
      return bridge::json_boolean(value.get<bool>());
    case Json::value_t::number_unsigned:
      return bridge::json_unsigned(value.get<uint64_t>());
    case Json::value_t::number_integer:
      return bridge::json_signed(value.get<int64_t>());
    case Json::value_t::number_float:
      return bridge::json_double(value.get<double>());
    case Json::value_t::string:
      return bridge::json_string(value.get_ref<const std::string&>());
    case Json::value_t::array: {
      auto* values = arena.allocate_array<bridge::JsonValue>(value.size());
      for (size_t i = 0; i < value.size(); ++i) values[i] = to_tree(arena, value[i]);
      auto* segment = arena.allocate_array<bridge::JsonSegment>(1);
      *segment = bridge::JsonSegment{nullptr, value.size(), values};
      return bridge::json_array(segment, value.size());
    }
    case Json::value_t::object: {
      auto* members = arena.allocate_array<bridge::JsonMember>(value.size());
      size_t i = 0;
      for (const auto& [key, member] : value.items()) {
        members[i++] = {key, to_tree(arena, member)};
      }
      return bridge::json_object(members, value.size());
    }
    default:
      return bridge::json_null();
  }
}

}  // namespace

std::optional<Json> parse_json(std::string_view text) {
  const std::optional<bridge::Json> document = bridge::parse_json(text);
  if (!document) return std::nullopt;
  return from_tree(document->root);
}

std::string serialize(const Json& value) {
  bridge::Arena arena;
  return bridge::serialize(to_tree(arena, value));
}

}  // namespace stand_in
