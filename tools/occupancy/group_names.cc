#include "tools/occupancy/group_names.h"

#include <cstdio>
#include <cstring>

#include "link/platform/hex.h"
#include "link/platform/text_part.h"
#include "minini/config_keys.h"
#include "minini/minIni.h"

namespace {

constexpr char kSection[] = "GROUPS";
constexpr char kReplacement[] = "\\ufffd";

using Path = std::array<char, 4096>;
using Key = std::array<char, 16>;

Key GroupKey(int group) {
  Key key{};
  std::snprintf(key.data(), key.size(), "GROUP%d", group);
  return key;
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 sequence at text[at] (2 to 4 bytes),
// or 0 when the bytes there are not one.  Overlong forms, surrogates and
// code points past U+10FFFF are not well-formed.
size_t Utf8Sequence(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (!IsContinuation(byte(i))) return 0;
  }
  return length;
}

// Writes the literal's pieces into a fixed buffer, keeping room for the
// closing quote and the terminator.
struct LiteralWriter {
  GroupName& out;
  size_t size = 0;

  // Adds the piece whole, or nothing when it would not fit.
  bool Add(std::string_view piece) {
    if (size + piece.size() + 2 > out.size()) return false;
    std::memcpy(out.data() + size, piece.data(), piece.size());
    size += piece.size();
    return true;
  }
};

}  // namespace

size_t NameLiteral(std::string_view name, GroupName& literal) {
  LiteralWriter writer{literal};
  writer.Add("\"");
  for (size_t at = 0; at < name.size();) {
    const auto c = static_cast<unsigned char>(name[at]);
    std::array<char, 8> escape{};
    std::string_view piece;
    size_t consumed = 1;
    if (c == '"' || c == '\\') {
      escape = {'\\', static_cast<char>(c)};
      piece = {escape.data(), 2};
    } else if (c < 0x20) {
      const char* named = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t"
                        : c == '\b' ? "\\b" : c == '\f' ? "\\f" : nullptr;
      if (named != nullptr) {
        piece = named;
      } else {
        escape = {'\\', 'u', '0', '0', LowerHexDigit(c >> 4), LowerHexDigit(c)};
        piece = {escape.data(), 6};
      }
    } else if (c < 0x80) {
      piece = TextPart(name, at, 1);
    } else if (const size_t length = Utf8Sequence(name, at); length > 0) {
      piece = TextPart(name, at, length);
      consumed = length;
    } else {
      piece = kReplacement;
    }
    if (!writer.Add(piece)) break;
    at += consumed;
  }
  literal[writer.size++] = '"';
  literal[writer.size] = '\0';
  return writer.size;
}

bool IsNameLiteral(std::string_view text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
  const std::string_view inside = TextPart(text, 1, text.size() - 2);
  for (size_t at = 0; at < inside.size();) {
    const auto c = static_cast<unsigned char>(inside[at]);
    if (c < 0x20 || c == '"') return false;
    if (c == '\\') {
      if (at + 1 >= inside.size()) return false;
      const char kind = inside[at + 1];
      if (kind == 'u') {
        if (at + 6 > inside.size()) return false;
        for (size_t i = at + 2; i < at + 6; ++i) {
          if (!IsHexDigit(inside[i])) return false;
        }
        at += 6;
      } else if (std::strchr("\"\\/bfnrt", kind) != nullptr && kind != '\0') {
        at += 2;
      } else {
        return false;
      }
    } else if (c < 0x80) {
      ++at;
    } else {
      const size_t length = Utf8Sequence(inside, at);
      if (length == 0) return false;
      at += length;
    }
  }
  return true;
}

void LoadGroupNames(GroupNames& names) {
  Path path;
  const char* file = ConfigFilePath(ConfigFile::kCovid, path);
  for (int group = 1; group <= kGroupCount; ++group) {
    std::array<char, 24> fallback{};
    std::snprintf(fallback.data(), fallback.size(), "\"Group %d\"", group);
    GroupName stored{};
    const int length = ini_getstring(kSection, GroupKey(group).data(), fallback.data(),
                                     stored.data(), static_cast<int>(stored.size()), file);
    const std::string_view text(stored.data(), static_cast<size_t>(length));
    GroupName& shown = names[static_cast<size_t>(group - 1)];
    if (IsNameLiteral(text)) {
      shown = stored;
    } else {
      NameLiteral(text, shown);
    }
  }
}

bool StoreGroupName(int group, const GroupName& literal) {
  Path path;
  const char* file = ConfigFilePath(ConfigFile::kCovid, path);
  if (file == nullptr || group < 1 || group > kGroupCount) return false;
  return ini_puts(kSection, GroupKey(group).data(), literal.data(), file);
}
