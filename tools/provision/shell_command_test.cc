#include "tools/provision/shell_command.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// The words as the shell hands them to a program: printf '%s|' WORD...
std::string AsReceived(std::initializer_list<std::string_view> parts) {
  CommandLine line;
  AppendRaw(line, "printf '%s|' ");
  AppendQuoted(line, parts);
  EXPECT_FALSE(line.overflow);
  std::string output;
  if (FILE* pipe = ::popen(line.c_str(), "r")) {
    char buffer[256];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    ::pclose(pipe);
  }
  return output;
}

TEST(ShellQuote, HostileValuesReachTheProgramUnchangedAsOneWord) {
  const std::string values[] = {"it's", "''", "a\"b", "$(touch /tmp/tq8-quote-ran)",
                                "`touch /tmp/tq8-quote-ran`", "x; touch /tmp/tq8-quote-ran",
                                "a|b&c>d<e", "back\\slash\\n", "*", " two  spaces ",
                                "$HOME", "new\nline", "-n", ""};
  for (const std::string& value : values) EXPECT_EQ(AsReceived({value}), value + "|") << value;
  EXPECT_EQ(AsReceived({"ssid=", "TQ8 'x'"}), "ssid=TQ8 'x'|");
  EXPECT_NE(::access("/tmp/tq8-quote-ran", F_OK), 0);
}

TEST(ShellQuote, ACommandThatDoesNotFitIsNeverRun) {
  CommandLine line;
  AppendRaw(line, "printf ");
  AppendQuoted(line, std::string(kCommandLineSize, '\''));  // four characters each
  EXPECT_TRUE(line.overflow);
  EXPECT_EQ(line.text[line.size], '\0');
  EXPECT_EQ(RunCommand(line), -1);
}

}  // namespace
