#include "net/json_reply.h"

#include <cmath>

namespace {

int32_t ClampToInt32(double value) {
  if (value <= -2147483648.0) return INT32_MIN;
  if (value >= 2147483647.0) return INT32_MAX;
  return static_cast<int32_t>(value);
}

// A whole text of the form [+-]digits[.digits], read as an int32 (fraction
// dropped, clamped).  False for anything else.
bool DecimalText(std::string_view text, int32_t& out) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t digits_start = i;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    // Saturates well beyond the int32 range instead of overflowing.
    if (value < int64_t{1} << 40) value = value * 10 + (text[i] - '0');
  }
  if (i == digits_start) return false;
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    }
  }
  if (i != text.size()) return false;
  if (negative) value = -value;
  out = value < INT32_MIN ? INT32_MIN : value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
  return true;
}

}  // namespace

JsonDocument::JsonDocument(std::string_view text) {
  json_tokener* tokener = json_tokener_new();
  if (tokener == nullptr) return;
  // The tokener stops at the end of the first complete value; the bytes
  // after it are never looked at.
  root_ = json_tokener_parse_ex(tokener, text.data(), static_cast<int>(text.size()));
  if (root_ == nullptr && json_tokener_get_error(tokener) == json_tokener_continue) {
    // A number or literal at the very end of the text only ends with the
    // text: the terminator says so.
    root_ = json_tokener_parse_ex(tokener, "", 1);
  }
  if (json_tokener_get_error(tokener) != json_tokener_success) {
    json_object_put(root_);
    root_ = nullptr;
  }
  json_tokener_free(tokener);
}

JsonDocument::~JsonDocument() { json_object_put(root_); }

json_object* JsonDocument::object() const {
  return json_object_is_type(root_, json_type_object) ? root_ : nullptr;
}

json_object* JsonMember(json_object* object, const char* name) {
  json_object* member = nullptr;
  if (!json_object_is_type(object, json_type_object)) return nullptr;
  if (!json_object_object_get_ex(object, name, &member)) return nullptr;
  return member;
}

bool JsonInt(json_object* object, const char* name, int32_t& out) {
  json_object* member = JsonMember(object, name);
  if (!json_object_is_type(member, json_type_int)) return false;
  out = json_object_get_int(member);
  return true;
}

bool JsonDouble(json_object* object, const char* name, double& out) {
  json_object* member = JsonMember(object, name);
  if (!json_object_is_type(member, json_type_int) &&
      !json_object_is_type(member, json_type_double)) {
    return false;
  }
  out = json_object_get_double(member);
  return true;
}

bool JsonString(json_object* object, const char* name, const char*& out) {
  json_object* member = JsonMember(object, name);
  if (!json_object_is_type(member, json_type_string)) return false;
  out = json_object_get_string(member);
  return true;
}

bool JsonArray(json_object* object, const char* name, json_object*& out) {
  json_object* member = JsonMember(object, name);
  if (!json_object_is_type(member, json_type_array)) return false;
  out = member;
  return true;
}

bool JsonLenientInt(json_object* object, const char* name, int32_t& out) {
  json_object* member = JsonMember(object, name);
  switch (json_object_get_type(member)) {
    case json_type_int:
      // json-c clamps a larger integer to the int32 limits.
      out = json_object_get_int(member);
      return true;
    case json_type_boolean:
      out = json_object_get_boolean(member) ? 1 : 0;
      return true;
    case json_type_double: {
      const double value = json_object_get_double(member);
      if (!std::isfinite(value)) return false;
      out = ClampToInt32(value);
      return true;
    }
    case json_type_string: {
      // The string's own length: a zero byte inside makes it no number.
      const int length = json_object_get_string_len(member);
      return DecimalText(std::string_view(json_object_get_string(member),
                                          static_cast<size_t>(length > 0 ? length : 0)),
                         out);
    }
    default:
      return false;
  }
}
