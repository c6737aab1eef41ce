// The web server's access file "/etc/httpd.conf": one "path:user:password"
// line per protected path.
//
//   /cgi-bin/ext:ext:<API key>     the external command path
//   /:tq8hub:<AUTH_KEY>            the whole site
//
// The file guards the whole web interface, so it is never seen half
// written: the two lines go to a temporary file beside it, which is flushed
// to storage and renamed over the old file in one step.  Until then the old
// file stays as it was.
#pragma once

#include <string_view>

enum class WebAccessResult : unsigned char {
  kWritten,
  kLineBreak,  // a value holds a line break and would end its line early
  kFailed,     // the file could not be written; the old one is unchanged
};

WebAccessResult WriteWebAccessFile(std::string_view api_key, std::string_view auth_key);
