// kelcache: the command-line tool of the kelcache library. It looks into the
// second-level caches on disk and in Redis, watches the coherence messages
// and shows the options, always through the library itself.
//
//   kelcache disk ls|get|put|drop|stats|verify|sweep --dir DIR --ns NS ...
//   kelcache redis get|put|drop|ttl|scan --servers ... --ns NS ...
//   kelcache watch --servers ... [--channel PREFIX]
//   kelcache config [--json]
//
// Every subcommand has --help and --json. Exit codes (ToolError.h): 0 done,
// 1 a miss that is the answer, 2 bad usage, 3 failure; every error is one
// line on stderr. docs/cli.md has the details and examples.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "host/Errors.h"
#include "host/TLog.h"
#include "tools/kelcache/Commands.h"
#include "tools/kelcache/ToolError.h"

namespace {

// The message on one line: control characters become \xHH.
std::string OneLine(const std::string& message) {
  std::string line;
  for (char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\x%02x", byte);
      line += escape;
    } else {
      line += c;
    }
  }
  return line;
}

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "kelcache: %s\n", OneLine(message).c_str());
  return code;
}

// The deepest subcommand the command line reached, and its path ("kelcache
// disk ls").
CLI::App* DeepestCommand(CLI::App& app, std::string& path) {
  path = app.get_name();
  CLI::App* current = &app;
  while (!current->get_subcommands().empty()) {
    current = current->get_subcommands().front();
    path += " " + current->get_name();
  }
  return current;
}

// The message for a command line that CLI11 refused: its own, except that a
// word where a subcommand belongs, or an unknown option, is called what it is.
// `options` are the command line's words before the first "--": the words
// after it are arguments, whatever they look like.
std::string ParseFailure(CLI::App& app, const CLI::ParseError& error, const std::vector<std::string>& options) {
  std::string path;
  CLI::App* command = DeepestCommand(app, path);
  const std::vector<std::string> rest = command->remaining();
  if (!command->get_subcommands({}).empty() && !rest.empty() && !rest.front().empty() && rest.front()[0] != '-') {
    std::string known;
    for (const CLI::App* sub : command->get_subcommands({})) known += (known.empty() ? "" : ", ") + sub->get_name();
    return "unknown command '" + rest.front() + "' (" + path + " knows " + known + ") (see " + path + " --help)";
  }
  // Then an option nobody knows, whichever command it came with: CLI11
  // checks required subcommands and options before leftover words, so its
  // own message would be about something else.
  std::string levelPath = app.get_name();
  for (CLI::App* level = &app;;) {
    for (const std::string& word : level->remaining()) {
      if (word.size() > 1 && word[0] == '-' && word != "--" &&
          std::find(options.begin(), options.end(), word) != options.end())
        return "unknown option '" + word + "' (see " + levelPath + " --help)";
    }
    if (level->get_subcommands().empty()) break;
    level = level->get_subcommands().front();
    levelPath += " " + level->get_name();
  }
  // Words left over: named without the "--" that CLI11 lists with them.
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
    std::string extra;
    size_t count = 0;
    for (CLI::App* level = &app;;) {
      for (const std::string& word : level->remaining()) {
        if (word == "--") continue;
        extra += (extra.empty() ? "'" : ", '") + OneLine(word) + "'";
        ++count;
      }
      if (level->get_subcommands().empty()) break;
      level = level->get_subcommands().front();
    }
    if (count > 0) {
      return std::string(count == 1 ? "unexpected argument " : "unexpected arguments ") + extra + " (see " + path +
             " --help)";
    }
  }
  return std::string(error.what()) + " (see " + path + " --help)";
}

// Any of stdin, stdout and stderr that is not open gets /dev/null in its
// place, opened the wrong way round (stdin for writing, stdout and stderr for
// reading), so that reading or writing it fails as it would closed. Left
// free, the descriptor would go to the next file or socket the tool opens
// (the store's ".lock", a Redis connection), and the lines meant for the
// terminal would be written there. False when that cannot be done.
bool StandardDescriptorsAreOpen() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY));
    if (opened < 0) return false;
    if (opened != fd) {  // lower descriptors are open, so this is not expected
      const bool moved = dup2(opened, fd) == fd;
      close(opened);
      if (!moved) return false;
    }
  }
  return true;
}

// The library's levels, as KELCACHE_LOG_LEVEL names them.
bool IsLogLevelName(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text == "debug" || text == "info" || text == "warn" || text == "warning" || text == "error";
}

}  // namespace

int main(int argc, char** argv) {
  // First of all, before anything opens a file or a socket.
  if (!StandardDescriptorsAreOpen()) return kelcache_cli::kExitFailure;
  // A reader that quits (a pipe into head) and a file-size limit are write
  // failures the tool reports (exit 3, temporary files removed), not signals
  // that end it on the spot.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // The library's own log lines below Error stay off the terminal unless
  // asked for (KELCACHE_LOG_LEVEL): the tool says what went wrong in its own
  // words.
  // A level that is no level is said once and ignored, as bad settings are;
  // the library, which reads the variable when its log starts, must not see
  // it then, or it would keep its own default (warnings on).
  const char* level = std::getenv("KELCACHE_LOG_LEVEL");
  if (level != nullptr && *level != '\0' && !IsLogLevelName(level)) {
    std::fprintf(stderr,
                 "kelcache: KELCACHE_LOG_LEVEL: unknown level '%s' (expected debug, info, warn, warning or error); "
                 "ignored\n",
                 OneLine(level).c_str());
    unsetenv("KELCACHE_LOG_LEVEL");
    level = nullptr;
  }
  if (level == nullptr || *level == '\0') TLog::SetLevel(TLog::Error);

  CLI::App app{"kelcache: look into kelcache's caches on disk and in Redis, watch coherence, show options",
               "kelcache"};
  app.set_version_flag("--version", KELCACHE_VERSION);
  app.require_subcommand(1);
  kelcache_cli::Action action;
  kelcache_cli::AddDiskCommands(app, action);
  kelcache_cli::AddRedisCommands(app, action);
  kelcache_cli::AddWatchCommand(app, action);
  kelcache_cli::AddConfigCommand(app, action);
  app.footer("Exit codes: 0 done, 1 a miss (no such key or namespace, damaged entries found), 2 bad usage, 3 failure.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::vector<std::string> options(argv + 1, argv + argc);
    options.erase(std::find(options.begin(), options.end(), "--"), options.end());
    return Fail(kelcache_cli::kExitUsage, ParseFailure(app, e, options));
  }

  try {
    return action ? action() : Fail(kelcache_cli::kExitUsage, "no command (see kelcache --help)");
  } catch (const kelcache_cli::ToolError& error) {
    return Fail(error.Code(), error.what());
  } catch (const LogicException& error) {
    return Fail(kelcache_cli::kExitFailure, "internal error: " + error.GetSourceFile() + "(" +
                                                std::to_string(error.GetLine()) + "): " + error.GetExpression());
  } catch (const KelvraException& error) {
    return Fail(kelcache_cli::kExitFailure, error.GetMessage().toStdString());
  } catch (const std::exception& error) {
    return Fail(kelcache_cli::kExitFailure, error.what());
  } catch (...) {
    return Fail(kelcache_cli::kExitFailure, "unknown error");
  }
}
