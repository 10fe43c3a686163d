// The entry key argument that the disk and Redis key subcommands share: the
// positional key and the -e/--escaped flag that says it uses the escapes of
// the tool's own output (Text.h).
//
// Thread rules: one thread.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "host/TString.h"

namespace kelcache_cli {

struct KeyArgument {
  std::string text;
  bool escaped = false;

  // The key it names (Console.h's KeyFromArgument); raises UsageError.
  TString Key() const;
};

// Adds the positional "key" (required) and -e/--escaped to the command.
void AddKeyArgument(CLI::App* command, KeyArgument& key);

}  // namespace kelcache_cli
