#include "tools/provision/shell_command.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

namespace {

void Put(CommandLine& line, char c) {
  // One place stays free for the terminator.
  if (line.overflow || line.size + 1 >= line.text.size()) {
    line.overflow = true;
    return;
  }
  line.text[line.size++] = c;
  line.text[line.size] = '\0';
}

}  // namespace

void AppendRaw(CommandLine& line, std::string_view raw) {
  for (char c : raw) Put(line, c);
}

void AppendQuoted(CommandLine& line, std::initializer_list<std::string_view> parts) {
  Put(line, '\'');
  for (std::string_view part : parts) {
    for (char c : part) {
      if (c == '\'') {
        AppendRaw(line, "'\\''");
      } else {
        Put(line, c);
      }
    }
  }
  Put(line, '\'');
}

void AppendQuoted(CommandLine& line, std::string_view value) { AppendQuoted(line, {value}); }

bool HoldsLineBreak(std::string_view value) {
  return value.find_first_of("\r\n") != std::string_view::npos;
}

int RunCommand(const CommandLine& line) {
  if (line.overflow || line.size == 0) return -1;
  std::fflush(stdout);
  const int status = std::system(line.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}
