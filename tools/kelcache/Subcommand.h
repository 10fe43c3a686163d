// Declaring one subcommand of the kelcache tool: its options live in an
// object the parser keeps alive, and naming the subcommand on the command
// line stores its work in the tool's Action (Commands.h).
//
// Thread rules: the tool's main thread.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include <CLI/CLI.hpp>

#include "tools/kelcache/Commands.h"

namespace kelcache_cli {

// Adds subcommand `name` to `parent` with a new Options object; when the
// command line names the subcommand, `action` becomes run(options). Returns
// the subcommand and its options, for the declarations of its flags.
template <class Options, class Run>
std::pair<CLI::App*, Options*> AddSubcommand(CLI::App& parent, const std::string& name,
                                             const std::string& description, Action& action, Run run) {
  auto options = std::make_shared<Options>();
  CLI::App* command = parent.add_subcommand(name, description);
  command->callback([options, run, &action] { action = [options, run] { return run(*options); }; });
  return {command, options.get()};
}

}  // namespace kelcache_cli
