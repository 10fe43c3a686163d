// The subcommands of the kelcache command-line tool. Each Add* function
// declares its subcommands, with their options and help, on the app; when
// the command line names one of them, parsing stores the work to do in
// `action`, which main then runs. An action returns the exit code
// (ToolError.h) or raises a ToolError.
//
// Thread rules: the tool's main thread (watch starts the subscriber's).
#pragma once

#include <functional>

namespace CLI {
class App;
}  // namespace CLI

namespace kelcache_cli {

using Action = std::function<int()>;

// kelcache disk ls|get|put|drop|stats|verify|sweep
void AddDiskCommands(CLI::App& app, Action& action);
// kelcache redis get|put|drop|ttl|scan
void AddRedisCommands(CLI::App& app, Action& action);
// kelcache watch
void AddWatchCommand(CLI::App& app, Action& action);
// kelcache config
void AddConfigCommand(CLI::App& app, Action& action);

}  // namespace kelcache_cli
