// Display names of the eight occupancy groups, kept on the Linux side in
// "/etc/config/tq8hub/COVID.CFG", section GROUPS, keys GROUP1 .. GROUP8.
//
// Each stored value is the name as a JSON string literal, quotes included,
// so that it goes into the JSON line of the -r output unchanged.  The
// default for GROUPn is "Group n".
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

inline constexpr int kGroupCount = 8;
// A stored value is read into 128 bytes: at most 127 characters.
inline constexpr size_t kGroupNameSize = 128;

using GroupName = std::array<char, kGroupNameSize>;  // terminated
using GroupNames = std::array<GroupName, kGroupCount>;

// Writes `name` (any bytes) as a JSON string literal that fits a stored
// value: quotes, backslashes and control characters escaped, bytes that are
// not UTF-8 replaced by U+FFFD.  A name too long for 127 characters is cut
// between characters, never inside an escape or a UTF-8 sequence, so the
// literal always stays valid.  Returns the literal's length.
size_t NameLiteral(std::string_view name, GroupName& literal);

// True when `text` is one complete JSON string literal (valid escapes, no
// raw control characters, valid UTF-8).
bool IsNameLiteral(std::string_view text);

// The eight names as literals that are safe to put into JSON.  A stored
// value that is not a valid literal (edited by hand, or cut on reading) is
// shown as the literal of its text.
void LoadGroupNames(GroupNames& names);

// Stores the literal as the name of group 1 .. 8.  True when done.
bool StoreGroupName(int group, const GroupName& literal);
