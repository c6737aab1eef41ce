#include "minini/minIni.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

class IniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "minini.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/CONFIG.CFG";
    temp_ = dir_ + "/CONFIG.CF~";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string Read() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string Get(const char* section, const char* key, const char* def = "<default>") const {
    char buffer[kIniLineSize];
    ini_getstring(section, key, def, buffer, sizeof buffer, path_.c_str());
    return buffer;
  }
  ino_t Inode() const {
    struct stat st {};
    EXPECT_EQ(stat(path_.c_str(), &st), 0);
    return st.st_ino;
  }
  bool Exists(const std::string& path) const { return access(path.c_str(), F_OK) == 0; }

  std::string dir_, path_, temp_;
};

// Waits for a child process to end, at most `seconds`; its exit status, or
// -1 when it did not end in time or did not exit normally.
int WaitChild(pid_t pid, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0 || std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    sched_yield();
  }
}

TEST_F(IniTest, ReadingRules) {
  Write(
      "top = global ; before any section\n"
      "[ONLINEX]\n"
      "SERVER_ADDR = wrong section\n"
      "; SERIAL_NUMBER=99\n"
      "[info]\n"
      "# serial_number = 98\n"
      "\tserial_number \t= 17\n"
      "[broken\n"
      "AFTER = not in INFO any more\n"
      "  [Online]  \n"
      "SERVER_ADDR = 10.0.0.5 ; office\n"
      "HOST: example.org\n"
      "A:B = C\n"
      "URL=http://x:80/a#frag\n"
      "QUOTED = \"a;b#c\"  ; comment\n"
      "ESCAPED = \"say \\\"hi\\\" and \"\"bye\"\"\"\n"
      "UNQUOTED = plain \"text\" here\n"
      "EMPTY =\n"
      "BLANKS = \t spaced  value \t\r\n"
      "SERIAL = 1\n"
      "no separator here\n"
      "[ TCP ]\n"
      "PORT = 1\n"
      "[online]\n"
      "LATE = second ONLINE section\n");
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  };
  const Case cases[] = {
      {"", "TOP", "global"},
      {nullptr, "top", "global"},
      {"INFO", "SERIAL_NUMBER", "17"},
      {"INFO", "AFTER", "<default>"},  // a line starting with '[' ends the section
      {"ONLINE", "SERVER_ADDR", "10.0.0.5"},
      {"online", "host", "example.org"},  // ':' on a line without '='
      {"ONLINE", "A:B", "C"},             // '=' wins over an earlier ':'
      {"ONLINE", "A", "<default>"},
      {"ONLINE", "URL", "http://x:80/a"},
      {"ONLINE", "QUOTED", "a;b#c"},
      {"ONLINE", "ESCAPED", "say \"hi\" and \"bye\""},
      {"ONLINE", "UNQUOTED", "plain \"text\" here"},
      {"ONLINE", "EMPTY", ""},
      {"ONLINE", "BLANKS", "spaced  value"},
      {"ONLINE", "SERIAL_NUMBER", "<default>"},  // keys compare in full length
      {"ONLINE", "no separator here", "<default>"},
      {"TCP", "PORT", "<default>"},       // blanks inside the brackets
      {"ONLINE", "LATE", "<default>"},    // only the first ONLINE is searched
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Get(c.section, c.key), c.expected) << (c.section ? c.section : "null") << "/" << c.key;
  }
}

TEST_F(IniTest, LongLinesAreReadInPieces) {
  // The first piece of a long line holds 511 characters; the rest is a line
  // of its own.
  Write("[S]\nK=" + std::string(600, 'v') + "\n#" + std::string(510, 'x') + "NEXT=5\n");
  EXPECT_EQ(Get("S", "K"), std::string(509, 'v'));
  EXPECT_EQ(ini_getlong("S", "NEXT", 0, path_.c_str()), 5);
}

TEST_F(IniTest, GetStringArgumentsAndCutting) {
  Write("[S]\nK=abcdef\n");
  char buffer[8] = "keep";
  EXPECT_EQ(ini_getstring("S", "K", "d", nullptr, 8, path_.c_str()), 0);
  EXPECT_EQ(ini_getstring("S", "K", "d", buffer, 0, path_.c_str()), 0);
  EXPECT_EQ(ini_getstring("S", nullptr, "d", buffer, 8, path_.c_str()), 0);
  EXPECT_STREQ(buffer, "keep");

  EXPECT_EQ(ini_getstring("S", "K", "d", buffer, 4, path_.c_str()), 3);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(ini_getstring("S", "X", "default", buffer, 5, path_.c_str()), 4);
  EXPECT_STREQ(buffer, "defa");
  EXPECT_EQ(ini_getstring("S", "X", nullptr, buffer, 8, path_.c_str()), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(ini_getstring("S", "K", "none", buffer, 8, (dir_ + "/absent").c_str()), 4);
  EXPECT_STREQ(buffer, "none");
}

TEST_F(IniTest, GetLongConversions) {
  struct Case {
    const char* text;
    long expected;
  };
  const Case cases[] = {
      {"0x1E", 30},
      {"0X1f", 31},
      {"010", 10},
      {"abc", 0},
      {"12abc", 12},
      {"-42", -42},
      {"\" 5\"", 5},
      {"2147483648", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-99999999999999999999", INT32_MIN},
      {"0xFFFFFFFF", INT32_MAX},
  };
  std::string text = "[N]\nEMPTY=\n";
  for (size_t i = 0; i < std::size(cases); ++i) {
    text += "V" + std::to_string(i) + "=" + cases[i].text + "\n";
  }
  Write(text);
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::string key = "V" + std::to_string(i);
    EXPECT_EQ(ini_getlong("N", key.c_str(), -1, path_.c_str()), cases[i].expected) << cases[i].text;
  }
  EXPECT_EQ(ini_getlong("N", "EMPTY", 77, path_.c_str()), 77);
  EXPECT_EQ(ini_getlong("N", "MISSING", 77, path_.c_str()), 77);
}

TEST_F(IniTest, WritingRules) {
  struct Case {
    const char* before;
    const char* section;
    const char* key;
    const char* value;
    const char* after;
  };
  const Case cases[] = {
      // A missing section goes to the end, after a line feed when the last
      // line had none.
      {"[A]\nX=1", "B", "Y", "2", "[A]\nX=1\n[B]\nY=2\n"},
      {"", "B", "Y", "2", "[B]\nY=2\n"},
      // The key's line is replaced in place, whatever its spelling.
      {"; head\n[A]\n x = 1 ; old\nZ=3\n[B]\nX=9\n", "a", "X", "5",
       "; head\n[A]\nX=5\nZ=3\n[B]\nX=9\n"},
      // A new key goes right before the next section, or to the end.
      {"[A]\nX=1\n\n[B]\nY=2\n", "A", "NEW", "7", "[A]\nX=1\n\nNEW=7\n[B]\nY=2\n"},
      {"[A]\nX=1", "A", "NEW", "7", "[A]\nX=1\nNEW=7\n"},
      {"X=1\n[A]\nY=2\n", "", "NEW", "7", "X=1\nNEW=7\n[A]\nY=2\n"},
      // Only the first section of a name is changed.
      {"[A]\n[B]\n[A]\nK=1\n", "A", "K", "2", "[A]\nK=2\n[B]\n[A]\nK=1\n"},
      // Deleting a key and a section.
      {"[A]\nX=1\nY=2\n[B]\nZ=3", "A", "X", nullptr, "[A]\nY=2\n[B]\nZ=3"},
      {"[A]\nX=1\n;c\n[B]\nZ=3\n[C]\n", "B", nullptr, nullptr, "[A]\nX=1\n;c\n[C]\n"},
      {"[A]\nX=1\n[B]\nZ=3", "b", nullptr, nullptr, "[A]\nX=1\n"},
      // Values that would not read back as they are get double quotes.
      {"", "", "K", "a;b", "K=\"a;b\"\n"},
      {"", "", "K", "x#", "K=\"x#\"\n"},
      {"", "", "K", "say \"hi\"", "K=\"say \\\"hi\\\"\"\n"},
      {"", "", "K", "end ", "K=\"end \"\n"},
      {"", "", "K", "\tlead", "K=\"\tlead\"\n"},
      {"", "", "K", "a b=c:d", "K=a b=c:d\n"},
  };
  for (const Case& c : cases) {
    Write(c.before);
    EXPECT_TRUE(ini_puts(c.section, c.key, c.value, path_.c_str()));
    EXPECT_EQ(Read(), c.after) << "before: " << c.before;
    EXPECT_FALSE(Exists(temp_));
  }
}

TEST_F(IniTest, CreatesMissingFileOnlyToStoreAValue) {
  EXPECT_TRUE(ini_puts("S", "K", nullptr, path_.c_str()));
  EXPECT_TRUE(ini_puts("S", nullptr, nullptr, path_.c_str()));
  EXPECT_FALSE(Exists(path_));
  EXPECT_TRUE(ini_putlong("INFO", "SERIAL_NUMBER", -1234567, path_.c_str()));
  EXPECT_EQ(Read(), "[INFO]\nSERIAL_NUMBER=-1234567\n");
  EXPECT_FALSE(ini_puts("S", "K", "v", (dir_ + "/no/such/dir/F.CFG").c_str()));
}

TEST_F(IniTest, NothingToChangeLeavesFileUntouched) {
  const std::string text = "[A]\nK = \"v;1\" ; note\n[B]\n";
  Write(text);
  ino_t inode = Inode();
  // With the temporary name taken by a directory, any rewrite would fail.
  ASSERT_EQ(mkdir(temp_.c_str(), 0755), 0);
  EXPECT_TRUE(ini_puts("A", "k", "v;1", path_.c_str()));
  EXPECT_TRUE(ini_puts("A", "ABSENT", nullptr, path_.c_str()));
  EXPECT_TRUE(ini_puts("C", nullptr, nullptr, path_.c_str()));
  EXPECT_TRUE(ini_puts("C", "K", nullptr, path_.c_str()));
  EXPECT_EQ(Read(), text);
  EXPECT_EQ(Inode(), inode);
  // A different case is a different value.
  EXPECT_FALSE(ini_puts("A", "K", "V;1", path_.c_str()));
}

TEST_F(IniTest, ValuesRoundTrip) {
  // Values built from the characters the format treats specially.
  const std::string alphabet = "ab \t\"\\;#=:[]'x";
  std::mt19937 random(12345);
  std::map<std::string, std::string> stored;
  Write("; keep me\n[OTHER]\nX=1\n");
  for (int i = 0; i < 300; ++i) {
    std::string key = "K" + std::to_string(random() % 40);
    std::string value;
    for (size_t n = random() % 24; n > 0; --n) value += alphabet[random() % alphabet.size()];
    ASSERT_TRUE(ini_puts("S", key.c_str(), value.c_str(), path_.c_str()));
    stored[key] = value;
    ASSERT_EQ(Get("S", key.c_str()), value) << "file:\n" << Read();
  }
  for (const auto& [key, value] : stored) EXPECT_EQ(Get("S", key.c_str()), value);
  EXPECT_EQ(Get("OTHER", "X"), "1");
}

TEST_F(IniTest, KeyAndValueFitOneLine) {
  Write("[S]\nNEXT=1\n");
  ASSERT_TRUE(ini_puts("S", "K", std::string(600, 'v').c_str(), path_.c_str()));
  EXPECT_EQ(Read(), "[S]\nNEXT=1\nK=" + std::string(508, 'v') + "\n");
  // Quotes and escapes count: 2 + 2 * 253 = 508.
  ASSERT_TRUE(ini_puts("S", "Q", std::string(600, '"').c_str(), path_.c_str()));
  EXPECT_EQ(Get("S", "Q"), std::string(253, '"'));
  EXPECT_EQ(Get("S", "K"), std::string(508, 'v'));
  EXPECT_EQ(Get("S", "NEXT"), "1");
  // Writing the same long value again changes nothing.
  ino_t inode = Inode();
  EXPECT_TRUE(ini_puts("S", "K", std::string(600, 'v').c_str(), path_.c_str()));
  EXPECT_EQ(Inode(), inode);

  EXPECT_FALSE(ini_puts("S", std::string(510, 'k').c_str(), "v", path_.c_str()));
  EXPECT_FALSE(ini_puts("S", "K", "two\nlines", path_.c_str()));
  EXPECT_FALSE(ini_puts("S\n[X]", "K", "v", path_.c_str()));
  EXPECT_EQ(Get("S", "K"), std::string(508, 'v'));
}

TEST_F(IniTest, CopiesLongLinesUnchanged) {
  const std::string comment = "#" + std::string(1500, 'c') + "\n";
  const std::string long_key = "LONG=" + std::string(700, 'l') + "\n";
  Write("[A]\n" + comment + "X=1\n[B]\n" + long_key + "Y=2");
  ASSERT_TRUE(ini_puts("A", "X", "2", path_.c_str()));
  ASSERT_TRUE(ini_puts("C", "Z", "3", path_.c_str()));
  EXPECT_EQ(Read(), "[A]\n" + comment + "X=2\n[B]\n" + long_key + "Y=2\n[C]\nZ=3\n");
}

TEST_F(IniTest, KeepsPermissionBits) {
  Write("[A]\nX=1\n");
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  ino_t inode = Inode();
  ASSERT_TRUE(ini_puts("A", "X", "2", path_.c_str()));
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_NE(st.st_ino, inode);  // replaced, not rewritten in place
}

TEST_F(IniTest, FailedWriteKeepsOldFile) {
  const std::string text = "[A]\nX=1\n" + std::string(2000, '#') + "\n";
  Write(text);

  // The temporary file cannot be created.
  ASSERT_EQ(mkdir(temp_.c_str(), 0755), 0);
  EXPECT_FALSE(ini_puts("A", "X", "2", path_.c_str()));
  EXPECT_EQ(Read(), text);
  ASSERT_EQ(rmdir(temp_.c_str()), 0);

  // Storage runs full part way through the temporary file.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(ini_puts("A", "X", "2", path_.c_str()) ? 1 : 0);
  }
  EXPECT_EQ(WaitChild(pid, 60), 0);
  EXPECT_EQ(Read(), text);
  EXPECT_FALSE(Exists(temp_));

  // A path that is not a regular file is not replaced.
  EXPECT_FALSE(ini_puts("A", "X", "2", dir_.c_str()));
  EXPECT_TRUE(std::filesystem::is_directory(dir_));
}

TEST_F(IniTest, ReaderBesideWriterAlwaysSeesACompleteFile) {
  const std::string head = "[HEAD]\nFIRST=1\n";
  const std::string tail = "[TAIL]\nLAST=1\n";
  Write(head + "[MID]\nVERSION=0\nPAD=\n" + tail);
  constexpr int kVersions = 300;

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Every version spans several cache runs; the padding changes its size.
    for (int version = 1; version <= kVersions; ++version) {
      std::string pad(100 + (version % 7) * 60, 'p');
      if (!ini_puts("MID", "PAD", pad.c_str(), path_.c_str()) ||
          !ini_putlong("MID", "VERSION", version, path_.c_str())) {
        _exit(1);
      }
    }
    _exit(0);
  }

  int reads = 0, bad = 0;
  long last_version = 0;
  int status = 0;
  pid_t done = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    ++reads;
    std::string text = Read();
    bool complete = text.compare(0, head.size(), head) == 0 && text.size() >= tail.size() &&
                    text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    long version = ini_getlong("MID", "VERSION", -1, path_.c_str());
    if (!complete || Get("TAIL", "LAST") != "1" || version < last_version) ++bad;
    last_version = version;
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "writer did not finish in time";
  }
  ASSERT_EQ(done, pid);
  EXPECT_EQ(bad, 0) << "of " << reads << " reads";
  EXPECT_EQ(ini_getlong("MID", "VERSION", -1, path_.c_str()), kVersions);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
}

TEST_F(IniTest, ConcurrentWritersLoseNoUpdate) {
  Write("[S]\n");
  constexpr int kKeys = 60;
  pid_t writers[2];
  for (int w = 0; w < 2; ++w) {
    writers[w] = fork();
    ASSERT_GE(writers[w], 0);
    if (writers[w] == 0) {
      for (int i = 0; i < kKeys; ++i) {
        std::string key = "W" + std::to_string(w) + "_" + std::to_string(i);
        if (!ini_putlong("S", key.c_str(), i, path_.c_str())) _exit(1);
      }
      _exit(0);
    }
  }
  for (pid_t pid : writers) EXPECT_EQ(WaitChild(pid, 120), 0);
  for (int w = 0; w < 2; ++w) {
    for (int i = 0; i < kKeys; ++i) {
      std::string key = "W" + std::to_string(w) + "_" + std::to_string(i);
      EXPECT_EQ(ini_getlong("S", key.c_str(), -1, path_.c_str()), i) << key;
    }
  }
}

}  // namespace
