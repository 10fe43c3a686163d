#include "tools/kelcache/KeyArgument.h"

#include "tools/kelcache/Console.h"

namespace kelcache_cli {

TString KeyArgument::Key() const {
  return KeyFromArgument(text, escaped, "the key");
}

void AddKeyArgument(CLI::App* command, KeyArgument& key) {
  command->add_option("key", key.text, "The entry key (put -- before a key that begins with '-')")->required();
  command->add_flag("-e,--escaped", key.escaped,
                    "The key uses the escapes of the tool's output (\\\\ \\n \\r \\t \\xHH \\u{HHHH})");
}

}  // namespace kelcache_cli
