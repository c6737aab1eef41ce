// INI file reading and writing.

#include "link/platform/hex.h"
#include "link/platform/text_copy.h"
#include "link/platform/text_part.h"
#include "minini/minIni.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

namespace {

constexpr size_t kLineSize = kIniLineSize;
constexpr size_t kKeyValueLimit = kIniKeyValueLimit;
constexpr size_t kCacheSize = 512;
constexpr size_t kPathSize = 4096;

using LineBuffer = std::array<char, kLineSize>;
using PathBuffer = std::array<char, kPathSize>;

bool IsBlank(char c) { return static_cast<unsigned char>(c) < '!'; }

char FoldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// True when `text` begins with `name`, letter case ignored.
bool SameNoCase(const char* text, std::string_view name) {
  for (size_t i = 0; i < name.size(); ++i) {
    if (text[i] == '\0' || FoldCase(text[i]) != FoldCase(name[i])) return false;
  }
  return true;
}

// Where one rewrite writes to: the temporary file, through a cache that
// collects lines and writes them out in runs.  The first failing write makes
// the whole rewrite fail.
struct WriteCache {
  int fd = -1;
  std::array<char, kCacheSize> data{};
  size_t used = 0;
  bool failed = false;
  bool empty = true;  // nothing written yet
  char last = '\0';   // last character written
};

// The directory of the file, opened for the writers' lock and for flushing
// the rename to storage.  Closing it releases the lock.
class DirectoryHandle {
 public:
  explicit DirectoryHandle(const char* path) {
    if (path == nullptr) return;
    fd_ = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return;
    // Two writers rewriting the same file at once would share one temporary
    // file and could rename a half-written one; the lock makes them take
    // turns, and each reads the file only after the previous one is done.
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~DirectoryHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;

  // Makes a rename in the directory durable.
  void Sync() const {
    if (fd_ >= 0) ::fsync(fd_);
  }

 private:
  int fd_ = -1;
};

}  // namespace

// ---------------------------------------------------------------------------
// Text helpers.

template <typename Char>
static Char* skipleading(Char* str) {
  while (*str != '\0' && IsBlank(*str)) ++str;
  return str;
}

// Steps back from `str` over blanks, not below `base`.
static const char* skiptrailing(const char* str, const char* base) {
  while (str > base && IsBlank(str[-1])) --str;
  return str;
}

static char* striptrailing(char* str) {
  size_t length = std::strlen(str);
  while (length > 0 && IsBlank(str[length - 1])) --length;
  str[length] = '\0';
  return str;
}

// Copies at most `length` characters of `source`, cut to the destination,
// and terminates.  Returns the number of characters copied.
static size_t save_strncpy(std::span<char> dest, const char* source, size_t length) {
  return CopyText(dest, std::string_view(source, length));
}

// Ends the value at the first ';' or '#' outside double quotes, removes
// trailing blanks and, when the value is then enclosed in double quotes,
// removes them and turns \" and "" inside into a single double quote.
static char* cleanstring(char* value) {
  bool quoted = false;
  for (char* p = value; *p != '\0'; ++p) {
    if (*p == '"') {
      quoted = !quoted;
    } else if (quoted && p[0] == '\\' && p[1] == '"') {
      ++p;  // an escaped quote neither opens nor closes
    } else if (!quoted && (*p == ';' || *p == '#')) {
      *p = '\0';
      break;
    }
  }
  striptrailing(value);

  size_t length = std::strlen(value);
  if (length >= 2 && value[0] == '"' && value[length - 1] == '"') {
    value[length - 1] = '\0';
    size_t out = 0;
    for (size_t in = 1; value[in] != '\0'; ++in) {
      if ((value[in] == '\\' || value[in] == '"') && value[in + 1] == '"') ++in;
      value[out++] = value[in];
    }
    value[out] = '\0';
  }
  return value;
}

// Reads one line, or the next 511 characters of a longer one, into `line`
// and terminates it.  Returns the number of bytes read: 0 at the end of the
// file or on a read error (ferror tells which).
static size_t ReadLine(FILE* fp, LineBuffer& line) {
  size_t count = 0;
  while (count + 1 < line.size()) {
    int c = std::getc(fp);
    if (c == EOF) break;
    line[count++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line[count] = '\0';
  return count;
}

// A line whose first non-blank character is '[' ends the current section.
static bool IsSectionStart(const char* line) { return *skipleading(line) == '['; }

static bool IsSectionHeader(const char* line, std::string_view section) {
  const char* sp = skipleading(line);
  if (*sp != '[') return false;
  ++sp;
  return SameNoCase(sp, section) && sp[section.size()] == ']';
}

// When `line` is a key line for `key`, returns the text after its separator
// (the first '=', else the first ':'); otherwise null.
static char* MatchKey(char* line, std::string_view key) {
  char* sp = skipleading(line);
  if (*sp == ';' || *sp == '#') return nullptr;
  char* ep = std::strchr(sp, '=');
  if (ep == nullptr) ep = std::strchr(sp, ':');
  if (ep == nullptr) return nullptr;
  size_t key_length = static_cast<size_t>(skiptrailing(ep, sp) - sp);
  if (key_length != key.size() || !SameNoCase(sp, key)) return nullptr;
  return ep + 1;
}

// Looks `key` up in the first section named `section` ("" for the lines
// before the first header).  When found, its cleaned value is copied into
// `value` (cut to fit) and true returned.
static bool getkeystring(FILE* fp, std::string_view section, std::string_view key,
                         std::span<char> value) {
  LineBuffer line;
  if (!section.empty()) {
    for (;;) {
      if (ReadLine(fp, line) == 0) return false;
      if (IsSectionHeader(line.data(), section)) break;
    }
  }
  for (;;) {
    if (ReadLine(fp, line) == 0) return false;
    if (IsSectionStart(line.data())) return false;
    char* rest = MatchKey(line.data(), key);
    if (rest == nullptr) continue;
    const char* text = cleanstring(skipleading(rest));
    save_strncpy(value, text, std::strlen(text));
    return true;
  }
}

static bool SectionExists(FILE* fp, std::string_view section) {
  if (section.empty()) return true;
  LineBuffer line;
  while (ReadLine(fp, line) != 0) {
    if (IsSectionHeader(line.data(), section)) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Reading.

int ini_getstring(const char* section, const char* key, const char* def, char* buffer, int size,
                  const char* filename) {
  if (buffer == nullptr || size <= 0 || key == nullptr) return 0;
  std::span<char> out(buffer, static_cast<size_t>(size));
  bool found = false;
  if (filename != nullptr) {
    if (FILE* fp = std::fopen(filename, "re")) {
      found = getkeystring(fp, section != nullptr ? section : "", key, out);
      std::fclose(fp);
    }
  }
  if (!found) {
    if (def == nullptr) def = "";
    save_strncpy(out, def, strnlen(def, out.size()));
  }
  return static_cast<int>(std::strlen(buffer));
}

namespace {

// The value of `c` as a digit of `base` (10 or 16), or -1 when it is none.
int DigitValue(char c, int base) {
  const int value = HexDigitValue(c);
  return value < base ? value : -1;
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Converts the leading number of `text` in `base`, clamped to the range of
// a signed 32-bit number.
long ParseInt32(const char* text, int base) {
  const char* p = text;
  while (IsSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2], 16) >= 0) {
    p += 2;
  }
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t magnitude = 0;
  for (int digit; (digit = DigitValue(*p, base)) >= 0; ++p) {
    magnitude = std::min(magnitude * base + digit, limit);
  }
  return static_cast<long>(negative ? -magnitude : magnitude);
}

}  // namespace

long ini_getlong(const char* section, const char* key, long def, const char* filename) {
  std::array<char, 64> text;
  int length = ini_getstring(section, key, "", text.data(), static_cast<int>(text.size()), filename);
  if (length == 0) return def;
  int base = (text[1] == 'x' || text[1] == 'X') ? 16 : 10;
  return ParseInt32(text.data(), base);
}

// ---------------------------------------------------------------------------
// Writing.

static void cache_flush(WriteCache& cache) {
  size_t done = 0;
  while (!cache.failed && done < cache.used) {
    ssize_t n = ::write(cache.fd, cache.data.data() + done, cache.used - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      cache.failed = true;
      break;
    }
    done += static_cast<size_t>(n);
  }
  cache.used = 0;
}

static void CachePut(WriteCache& cache, std::span<const char> bytes) {
  if (bytes.empty()) return;
  cache.empty = false;
  cache.last = bytes.back();
  // A line that does not fit the rest of the cache starts the next run.
  if (bytes.size() > cache.data.size() - cache.used) cache_flush(cache);
  while (!bytes.empty()) {
    size_t count = std::min(bytes.size(), cache.data.size() - cache.used);
    std::memcpy(cache.data.data() + cache.used, bytes.data(), count);
    cache.used += count;
    bytes = bytes.subspan(count);
    if (!bytes.empty()) cache_flush(cache);
  }
}

// Before a line of our own (or where a line is left out): when the output
// so far ends inside a line, end it, so that the next line does not run on
// from it.  This happens after a last line without a line feed, and after
// the piece of an over-long line that a lookup treated as a line.
static void StartLine(WriteCache& cache) {
  if (!cache.empty && cache.last != '\n') CachePut(cache, std::span<const char>("\n", 1));
}

// Does the value have to be written in double quotes to read back as is?
// Quotes and comment characters would be taken apart, and blanks at either
// end would be dropped.
static bool check_enquote(std::string_view value) {
  if (value.find_first_of("\";#") != std::string_view::npos) return true;
  return !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
}

static size_t WrittenLength(std::string_view value) {
  if (!check_enquote(value)) return value.size();
  return value.size() + 2 + static_cast<size_t>(std::count(value.begin(), value.end(), '"'));
}

// "[section]\n" into `line`.  Returns its length, 0 when it does not fit a
// line.
static size_t writesection(std::string_view section, LineBuffer& line) {
  int n = std::snprintf(line.data(), line.size(), "[%.*s]\n", static_cast<int>(section.size()),
                        section.data());
  if (n < 0 || static_cast<size_t>(n) >= line.size()) return 0;
  return static_cast<size_t>(n);
}

// "key=value\n" into `line`, the value in double quotes when needed and cut
// so that key and written value stay within the limit.  Returns the line's
// length (0 when the key alone is too long) and the number of value
// characters kept in `kept`.
static size_t writekey(std::string_view key, std::string_view value, LineBuffer& line,
                       size_t& kept) {
  if (key.size() > kKeyValueLimit) return 0;
  size_t room = kKeyValueLimit - key.size();
  size_t length = std::min(value.size(), room);
  while (length > 0 && WrittenLength(TextPart(value, 0, length)) > room) --length;
  value = TextPart(value, 0, length);
  kept = length;

  size_t pos = 0;
  auto put = [&line, &pos](char c) { line[pos++] = c; };
  for (char c : key) put(c);
  put('=');
  if (check_enquote(value)) {
    put('"');
    for (char c : value) {
      if (c == '"') put('\\');
      put(c);
    }
    put('"');
  } else {
    for (char c : value) put(c);
  }
  put('\n');
  line[pos] = '\0';
  return pos;
}

// The temporary file's name: the file's name with its last character
// replaced by '~'.  Null when it does not fit or would be the file itself.
static const char* ini_tempname(const char* filename, std::span<char> out) {
  size_t length = std::strlen(filename);
  if (length == 0 || length >= out.size() || filename[length - 1] == '~') return nullptr;
  std::memcpy(out.data(), filename, length + 1);
  out[length - 1] = '~';
  return out.data();
}

static const char* DirectoryOf(const char* filename, std::span<char> out) {
  const char* slash = std::strrchr(filename, '/');
  if (slash == nullptr) return ".";
  size_t length = slash == filename ? 1 : static_cast<size_t>(slash - filename);
  if (length >= out.size()) return nullptr;
  std::memcpy(out.data(), filename, length);
  out[length] = '\0';
  return out.data();
}

static bool HasLineFeed(const char* text) {
  return text != nullptr && std::strchr(text, '\n') != nullptr;
}

namespace {

// What one ini_puts call changes.
struct Change {
  std::string_view section;
  const char* key;                   // null: drop the section
  bool has_value;                    // false: drop the key
  std::span<const char> header;      // "[section]\n", empty for section ""
  std::span<const char> key_line;    // "key=value\n" when has_value
};

}  // namespace

// Copies `in` to `out` with the change applied.
static void Rewrite(FILE* in, WriteCache& out, const Change& change) {
  LineBuffer line;
  size_t length;
  auto copy = [&] { CachePut(out, std::span<const char>(line.data(), length)); };
  const bool put_key = change.key != nullptr && change.has_value;

  if (!change.section.empty()) {
    bool found = false;
    while ((length = ReadLine(in, line)) != 0) {
      if (IsSectionHeader(line.data(), change.section)) {
        found = true;
        if (change.key != nullptr) {
          copy();
        } else {
          StartLine(out);
        }
        break;
      }
      copy();
    }
    if (!found) {
      if (put_key) {
        StartLine(out);
        CachePut(out, change.header);
        CachePut(out, change.key_line);
      }
      return;
    }
  }

  bool done = false;
  while (!done && (length = ReadLine(in, line)) != 0) {
    if (IsSectionStart(line.data())) {
      if (put_key) {
        StartLine(out);
        CachePut(out, change.key_line);
      }
      copy();
      done = true;
    } else if (change.key == nullptr) {
      StartLine(out);
    } else if (MatchKey(line.data(), change.key) != nullptr) {
      StartLine(out);
      if (change.has_value) CachePut(out, change.key_line);
      done = true;
    } else {
      copy();
    }
  }
  if (!done) {
    if (put_key) {
      StartLine(out);
      CachePut(out, change.key_line);
    }
    return;
  }
  while ((length = ReadLine(in, line)) != 0) copy();
}

// Creates the temporary file afresh (a stale one from an interrupted write
// is removed, and a link in its place is not followed).  It takes the
// original's owner and permission bits; until then only the writer can
// read it, as the file may hold passwords.
static int CreateTempFile(const char* tempname, const struct stat* original) {
  ::unlink(tempname);
  int fd = ::open(tempname, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, original ? 0600 : 0666);
  if (fd < 0 || original == nullptr) return fd;
  if (::fchown(fd, original->st_uid, original->st_gid) != 0) {
    // Only a privileged writer can hand the file to another owner; the
    // permission bits below still apply.
  }
  if (::fchmod(fd, original->st_mode & 07777) != 0) {
    ::close(fd);
    ::unlink(tempname);
    return -1;
  }
  return fd;
}

// Writes the new contents to the temporary file and puts it in the file's
// place.  The old file stays until the rename, which replaces it in one step,
// so a reader (or a power cut) meets either the old or the new contents,
// never a missing or partial file.  True on success; on failure the
// temporary file is removed.
static bool ReplaceFile(FILE* in, const struct stat* original, const Change& change,
                        const char* filename, const char* tempname, const DirectoryHandle& dir) {
  WriteCache out;
  out.fd = CreateTempFile(tempname, original);
  if (out.fd < 0) return false;
  if (in != nullptr) {
    Rewrite(in, out, change);
  } else {
    CachePut(out, change.header);
    CachePut(out, change.key_line);
  }
  cache_flush(out);
  bool ok = !out.failed && (in == nullptr || !std::ferror(in)) && ::fsync(out.fd) == 0;
  ok = (::close(out.fd) == 0) && ok;
  if (ok) ok = std::rename(tempname, filename) == 0;
  if (!ok) {
    ::unlink(tempname);
    return false;
  }
  dir.Sync();
  return true;
}

bool ini_puts(const char* section, const char* key, const char* value, const char* filename) {
  if (filename == nullptr || HasLineFeed(section) || HasLineFeed(key) || HasLineFeed(value)) {
    return false;
  }
  Change change{};
  change.section = section != nullptr ? section : "";
  change.key = key;
  change.has_value = value != nullptr;

  LineBuffer header;
  if (!change.section.empty()) {
    size_t length = writesection(change.section, header);
    if (length == 0) return false;
    change.header = std::span<const char>(header.data(), length);
  }
  LineBuffer key_line;
  size_t kept = 0;
  if (key != nullptr && value != nullptr) {
    size_t length = writekey(key, value, key_line, kept);
    if (length == 0) return false;
    change.key_line = std::span<const char>(key_line.data(), length);
  }

  PathBuffer tempname_buffer;
  PathBuffer directory_buffer;
  const char* tempname = ini_tempname(filename, tempname_buffer);
  if (tempname == nullptr) return false;
  DirectoryHandle directory(DirectoryOf(filename, directory_buffer));

  FILE* in = std::fopen(filename, "re");
  if (in == nullptr) {
    if (errno != ENOENT) return false;
    if (key == nullptr || value == nullptr) return true;
    return ReplaceFile(nullptr, nullptr, change, filename, tempname, directory);
  }

  struct stat original;
  if (::fstat(::fileno(in), &original) != 0 || !S_ISREG(original.st_mode)) {
    std::fclose(in);
    return false;
  }

  // Leave the file alone when there is nothing to change.
  bool unchanged;
  if (key == nullptr) {
    unchanged = !SectionExists(in, change.section);
  } else {
    LineBuffer current;
    bool found = getkeystring(in, change.section, key, current);
    if (value == nullptr) {
      unchanged = !found;
    } else {
      unchanged = found && std::strlen(current.data()) == kept &&
                  std::memcmp(current.data(), value, kept) == 0;
    }
  }
  if (std::ferror(in)) {
    std::fclose(in);
    return false;
  }
  if (unchanged) {
    std::fclose(in);
    return true;
  }

  std::rewind(in);
  const bool result = ReplaceFile(in, &original, change, filename, tempname, directory);
  std::fclose(in);
  return result;
}

bool ini_putlong(const char* section, const char* key, long value, const char* filename) {
  std::array<char, 24> text;
  std::snprintf(text.data(), text.size(), "%ld", value);
  return ini_puts(section, key, text.data(), filename);
}
