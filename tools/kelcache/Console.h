// Input and output of the kelcache command-line tool: values read from stdin
// or a file and written to stdout or a file, byte for byte; keys taken from
// the command line and shown back safely.
//
// Thread rules: one thread, except where a function says otherwise.
#pragma once

#include <string>
#include <string_view>

#include "host/TString.h"
#include "tools/kelcache/Json.h"

namespace kelcache_cli {

// A value to store: every byte of the file, or of stdin when path is empty.
// Reading stops once it reaches the size of values that stores skip (the
// option ExternalCacheUpperBound2SizeMb, in MiB), and such a value is
// refused then, so that endless input ends. Raises UsageError when the file
// cannot be opened, FailureError when reading fails or the value is too big.
std::string ReadValueInput(const std::string& path);
// Writes the bytes to the file, or to stdout when path is empty. A regular
// file (or a path that does not exist yet) is replaced whole: the bytes go
// to a temporary file beside it, which is renamed over it once complete, so
// a failed write leaves the earlier file as it was and no partial one. Other
// files (a device, a pipe) are written in place; the file a symbolic link
// names is replaced and the link kept. The file open as stdout or stderr
// (-o /dev/stderr into a redirected log) is written through that
// descriptor, after what it holds. An existing file the caller may not write
// is refused and left as it is. The replacement is a new file: the caller's
// own (run as root, the old file's owner keeps it), and other names of a
// hard-linked file go on naming the old bytes. Raises FailureError.
void WriteAllOutput(const std::string& path, std::string_view bytes);

// One line on stdout (the line feed is added) and flushed. Raises
// FailureError when stdout cannot take it (a full disk, a closed pipe).
void PrintLine(const std::string& text);

// A key given on the command line: the argument's bytes, or its unescaped
// form when `escaped` (Text.h). The library's keys are text, so the bytes
// must be UTF-8 (TString's generalised form); raises UsageError naming
// `what` otherwise.
TString KeyFromArgument(const std::string& argument, bool escaped, const char* what);

// A key for people (Text.h's escaped form), and for scripts: the "key"
// member, plus "key_hex" with the exact bytes when they are not well-formed
// UTF-8 (JSON strings cannot carry them).
std::string ShowKey(std::string_view bytes);
void AddJsonKey(JsonWriter& json, std::string_view bytes);

}  // namespace kelcache_cli
