// Shell command lines built from fixed text and quoted values.
//
// Values inserted into a command (paths, passwords, keys) may hold any
// character.  Each goes in single quotes, with every single quote inside
// written as '\'' (close, escaped quote, reopen), so that the shell hands it
// to the program unchanged and never reads anything in it as syntax: no
// expansion of $, `...`, globs or backslashes, no ; or | or redirection.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

inline constexpr size_t kCommandLineSize = 4096;

struct CommandLine {
  std::array<char, kCommandLineSize> text{};
  size_t size = 0;        // characters in text, not counting the terminator
  bool overflow = false;  // something did not fit; the command must not run

  const char* c_str() const { return text.data(); }
};

// Appends shell syntax as it stands.
void AppendRaw(CommandLine& line, std::string_view raw);
// Appends one value as a single shell word.
void AppendQuoted(CommandLine& line, std::string_view value);
// Appends the parts, joined, as a single shell word.
void AppendQuoted(CommandLine& line, std::initializer_list<std::string_view> parts);

// True when the value holds a line feed or a carriage return: it cannot pass
// as one line to a program that reads lines.
bool HoldsLineBreak(std::string_view value);

// Runs the command through the shell (standard output flushed first, so that
// the command's output follows ours in order) and waits for it.  Returns the
// shell's exit status, or -1 when the command did not run (overflow, no
// shell).
int RunCommand(const CommandLine& line);
