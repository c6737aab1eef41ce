// The configuration store: reading and writing keys of small INI files.
//
// Every call opens the file, does its work and closes it again; nothing is
// kept between calls, so a value written by one program is seen by the next
// read of any program.  File names are used exactly as given: callers pass
// paths already resolved for the machine they run on.
//
// File format as read:
//   - lines of at most 511 characters; a longer line is read in pieces, and
//     each piece counts as a line of its own;
//   - every character below '!' is a blank;
//   - "[NAME]" starts section NAME (letter case ignored, ']' right after the
//     name); keys before the first header belong to the section "";
//   - "KEY=VALUE" (or "KEY:VALUE" on a line without '='); lines starting with
//     ';' or '#' are comments; a ';' or '#' outside double quotes ends the
//     value; a value in double quotes loses them, and \" or "" inside stands
//     for one double quote;
//   - only the first section of a name is searched.
//
// A rewrite never leaves the file missing or partly written: the new
// contents go to a temporary file beside it (the name with its last
// character replaced by '~'), are flushed to storage and then renamed over
// the old file in one step.  Writers on the same directory take turns.
#pragma once

// Longest line, terminator included.
inline constexpr int kIniLineSize = 512;
// Longest key plus written value (quotes and escapes included), so that a
// key line "KEY=VALUE\n" always fits one line.
inline constexpr int kIniKeyValueLimit = kIniLineSize - 3;

// Copies the value of `key` in `section` (null or "" for the keys before the
// first header) into `buffer`: at most size - 1 characters, always
// terminated.  The default `def` (null: empty text) is taken when the file or
// the key is missing.  Returns the length of the text in the buffer; 0 with
// the buffer untouched when buffer or key is null or size is not positive.
int ini_getstring(const char* section, const char* key, const char* def, char* buffer, int size,
                  const char* filename);

// The value of `key` as a signed 32-bit number: hexadecimal when its second
// character is 'x' or 'X', else decimal; conversion stops at the first
// character that does not belong to the number (text that does not start
// with one gives 0), and values beyond the 32-bit range give the nearest
// limit.  `def` when the file or the key is missing or the value is empty.
long ini_getlong(const char* section, const char* key, long def, const char* filename);

// Sets `key` in `section` to `value`, creating the section at the end of the
// file and the file itself when missing.  A null value deletes the key, a
// null key deletes the whole (first) section.  A value that is already
// stored, or a deletion of something absent, leaves the file untouched.
// Values are cut so that key and written value stay within
// kIniKeyValueLimit.  True when done, false on failure (file unreadable or
// not a regular file, temporary file not writable, storage full, a name or
// value holding a line feed, a key too long for a line); on failure the file
// is left as it was.
bool ini_puts(const char* section, const char* key, const char* value, const char* filename);

// As ini_puts, with the number written in decimal.
bool ini_putlong(const char* section, const char* key, long value, const char* filename);
